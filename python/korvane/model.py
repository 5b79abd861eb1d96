"""Models defined in Python: korvane.Model holds what a model file holds
(settings, instance types with their slots, formulas and prepopulated rows:
the content of the JSON model), saves it as a model file, loads one back and
checks it as `korvane check` does.

    model = korvane.Model(settings={"Params_D_Value": 0.5, ...})
    i1 = model.instance_type("I1")
    i1.slot("situation", "Option", "Integer")
    i1.slot("decision", "Choice", "Integer")
    i1.slot("utility", "Value", "Real")
    i1.formulas["Option"] = "PM = IIF(CUE == MEMORY, 0, -1)"
    i1.rows.append({"Option": 1, "Choice": 1, "Value": 10})
    model.save("my-model.mdb")

korvane.example("binary-choice") is the example model as a Model.
"""

import copy
import json
import os
import tempfile

from .inprocess import _engine

ASPECTS = ("situation", "decision", "utility")
SLOT_TYPES = ("Integer", "Real", "String")


class ModelError(ValueError):
    """Korvane refused the model; .text is Korvane's text."""

    def __init__(self, text):
        super().__init__(text)
        self.text = text


class CheckResult:
    """What `korvane check` says of a model: ready (it can run the type),
    lines (the preparation log and the verdict) and warnings."""

    def __init__(self, ready, lines, warnings):
        self.ready = ready
        self.lines = list(lines)
        self.warnings = list(warnings)

    def __bool__(self):
        return self.ready

    def __str__(self):
        return "\n".join(self.lines)

    def __repr__(self):
        return f"CheckResult(ready={self.ready!r}, warnings={len(self.warnings)})"


class InstanceType:
    """One instance type: slots (dicts with aspect, name and type, in
    order), formulas (formula key to text), rows (the prepopulated
    instances, slot name to value)."""

    def __init__(self, name, slots=None, formulas=None, rows=None):
        self.name = name
        self.slots = [dict(s) for s in slots or []]
        self.formulas = dict(formulas or {})
        self.rows = [dict(r) for r in rows or []]

    def slot(self, aspect, name, slot_type="Real"):
        """Adds a slot: aspect "situation", "decision" or "utility", type
        "Integer", "Real" or "String". Returns self."""
        if aspect not in ASPECTS:
            raise ModelError(f"Slot {name}: the aspect must be one of {', '.join(ASPECTS)}, not {aspect!r}")
        if slot_type not in SLOT_TYPES:
            raise ModelError(f"Slot {name}: the type must be one of {', '.join(SLOT_TYPES)}, not {slot_type!r}")
        self.slots.append({"aspect": aspect, "name": name, "type": slot_type})
        return self

    def _json(self):
        return {"name": self.name, "slots": self.slots, "formulas": self.formulas, "rows": self.rows}


class Model:
    """A model as Python values; see the module's text."""

    def __init__(self, settings=None, instance_types=None, description=None, formulas_without_table=None):
        self.settings = dict(settings or {})
        self.instance_types = list(instance_types or [])
        self.description = description
        self.formulas_without_table = dict(formulas_without_table or {})

    # --- building ---------------------------------------------------------

    def instance_type(self, name):
        """The instance type of that name, added (without slots) when the
        model has none."""
        for existing in self.instance_types:
            if existing.name == name:
                return existing
        added = InstanceType(name)
        self.instance_types.append(added)
        return added

    def __getitem__(self, name):
        for existing in self.instance_types:
            if existing.name == name:
                return existing
        raise KeyError(name)

    # --- the JSON form ------------------------------------------------------

    def to_dict(self):
        data = {"korvane_model": 1}
        if self.description is not None:
            data["description"] = self.description
        data["instance_types"] = [t._json() for t in self.instance_types]
        if self.formulas_without_table:
            data["formulas_without_table"] = self.formulas_without_table
        data["settings"] = self.settings
        return copy.deepcopy(data)

    def to_json(self):
        """The model's JSON text (what `korvane model export` writes)."""
        return json.dumps(self.to_dict(), indent=2, ensure_ascii=False)

    @classmethod
    def from_dict(cls, data):
        if not isinstance(data, dict) or data.get("korvane_model") != 1:
            raise ModelError('This is not a Korvane model: its JSON must be an object with "korvane_model": 1')
        types = [InstanceType(t.get("name"), t.get("slots"), t.get("formulas"), t.get("rows"))
                 for t in data.get("instance_types", [])]
        return cls(data.get("settings"), types, data.get("description"), data.get("formulas_without_table"))

    @classmethod
    def from_json(cls, text):
        try:
            data = json.loads(text)
        except json.JSONDecodeError as error:
            raise ModelError(f"The model's JSON cannot be read: {error}") from None
        return cls.from_dict(data)

    # --- files ----------------------------------------------------------------

    def save(self, model_path, overwrite=False):
        """Writes the model file (.mdb). Korvane parses every formula and
        checks every slot and row; a problem raises ModelError with its text
        and leaves no file. An existing file is kept unless overwrite."""
        model_path = os.fspath(model_path)
        engine = _engine()
        if os.path.exists(model_path):
            if not overwrite:
                raise FileExistsError(f"'{model_path}' exists; save(..., overwrite=True) replaces it")
            folder = os.path.dirname(os.path.abspath(model_path))
            fd, fresh = tempfile.mkstemp(prefix=".korvane-save-", suffix=".mdb", dir=folder)
            os.close(fd)
            os.unlink(fresh)
            try:
                engine.import_json(self.to_json(), fresh)
            except engine.Error as error:
                raise ModelError(str(error)) from None
            os.replace(fresh, model_path)  # the old model stays until the new one is whole
            for suffix in ("-wal", "-shm"):
                if os.path.exists(model_path + suffix):
                    os.unlink(model_path + suffix)
            return model_path
        try:
            engine.import_json(self.to_json(), model_path)
        except engine.Error as error:
            raise ModelError(str(error)) from None
        return model_path

    @classmethod
    def load(cls, model_path):
        """The model in a model file."""
        engine = _engine()
        if not os.path.isfile(os.fspath(model_path)):
            raise FileNotFoundError(f"Could not find file '{os.path.abspath(os.fspath(model_path))}'.")
        try:
            return cls.from_json(engine.export_json(os.fspath(model_path)))
        except engine.Error as error:
            raise ModelError(str(error)) from None

    def check(self, instance_type=None):
        """Prepares the model as `korvane check` does, for instance_type
        (default: the first one) and returns a CheckResult with the same
        lines. A model that cannot be saved raises ModelError."""
        if instance_type is None:
            if not self.instance_types:
                raise ModelError("The model has no instance type to check")
            instance_type = self.instance_types[0].name
        engine = _engine()
        with tempfile.TemporaryDirectory(prefix="korvane-model-") as folder:
            path = self.save(os.path.join(folder, "model.mdb"))
            try:
                return CheckResult(*engine.check(path, instance_type))
            except engine.Error as error:
                raise ModelError(str(error)) from None


def example(name="binary-choice"):
    """An example model as a Model (names: example_names())."""
    engine = _engine()
    if name not in engine.example_names():
        raise ModelError(f"There is no example model {name!r}; the examples are {', '.join(engine.example_names())}")
    return Model.from_json(engine.example_json(name))


def example_names():
    return list(_engine().example_names())
