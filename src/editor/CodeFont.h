// CodeFont.h: the font of formulas, the HELO text and the execution log.
#pragma once

#include <QFont>

namespace korvane::editor {

// A fixed-width font in which O and 0, l and 1 are told apart at a glance:
// Hack when installed (its zero is dotted), else another such font, else the
// system's fixed font.
QFont CodeFont();

}  // namespace korvane::editor
