// SweepTest.cpp: `korvane sweep` as a researcher runs it: the korvane program
// in a temporary folder, the example model, real server and task processes
// on 127.0.0.1; and the grid, chunk and fit rules of the sweep library.
#include <gtest/gtest.h>

#include <QProcess>
#include <QThread>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "TestSupport.h"
#include "export/CellFormat.h"
#include "sweep/Sweep.h"

namespace fs = std::filesystem;
using korvane::test::TempDir;
namespace sweep = korvane::sweep;

namespace {

struct Outcome {
  int code = -1;
  std::string output;
};

std::string Program() { return korvane::test::BinDir() + "/korvane"; }

Outcome Korvane(const QStringList& args, const std::string& dataDir, int timeoutMs = 120000) {
  QProcess process;
  auto env = QProcessEnvironment::systemEnvironment();
  env.insert("KORVANE_DATA_DIR", QString::fromStdString(dataDir));
  process.setProcessEnvironment(env);
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.start(QString::fromStdString(Program()), args);
  Outcome run;
  if (!process.waitForFinished(timeoutMs)) {
    process.kill();
    process.waitForFinished();
    run.output = "timed out: " + process.readAll().toStdString();
    return run;
  }
  run.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  run.output = process.readAll().toStdString();
  return run;
}

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// results.csv as rows of cells, without the run-time column (the only one
// that differs between two runs of the same sweep).
std::vector<std::vector<std::string>> Results(const std::string& folder) {
  const std::string text = Read(folder + "/results.csv");
  std::vector<std::vector<std::string>> rows;
  std::size_t pos = 0;
  while (pos < text.size()) {
    auto cells = korvane::exporting::ReadCsvRecord(text, pos);
    if (cells.size() <= 1) continue;
    rows.push_back(cells);
  }
  if (!rows.empty()) {
    auto at = std::find(rows[0].begin(), rows[0].end(), "seconds") - rows[0].begin();
    for (auto& row : rows)
      if (at < static_cast<long>(row.size())) row.erase(row.begin() + at);
  }
  return rows;
}

int Column(const std::vector<std::vector<std::string>>& rows, const std::string& name) {
  auto at = std::find(rows[0].begin(), rows[0].end(), name);
  return at == rows[0].end() ? -1 : static_cast<int>(at - rows[0].begin());
}

class SweepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    model = temp.File("bc.mdb");
    ASSERT_EQ(Korvane({"example", "binary-choice", Q(model)}, temp.File("data")).code, 0);
  }
  static QString Q(const std::string& s) { return QString::fromStdString(s); }
  // The 2 x 2 grid of the tests: 5 subjects x 20 trials, 4 blocks of 5.
  QStringList Grid(const std::string& out, const QStringList& more = {}) const {
    QStringList args = {"sweep", Q(model), "-o", Q(out), "--vary", "Params_D_Value=0.3,0.7", "--vary",
                        "Params_S_Value=0.15:0.35:0.2", "--subjects", "5", "--trials", "20", "--block-size", "5"};
    if (!more.contains("--jobs")) args << "--jobs" << "2";
    return args + more;
  }
  Outcome Sweep(const std::string& out, const QStringList& more = {}) { return Korvane(Grid(out, more), temp.File("data")); }
  // A sweep of the grid that runs on while the test goes on.
  void StartSweep(QProcess& process, const std::string& out, const QStringList& more) {
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("KORVANE_DATA_DIR", Q(temp.File("data")));
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(Q(Program()), Grid(out, more));
    ASSERT_TRUE(process.waitForStarted());
  }

  TempDir temp;
  std::string model;
};

TEST_F(SweepTest, RunsEveryPointOnTwoJobsAndReplaysExactly) {
  const std::string out = temp.File("sweep");
  const Outcome run = Sweep(out);
  ASSERT_EQ(run.code, 0) << run.output;
  EXPECT_NE(run.output.find("4 points run"), std::string::npos) << run.output;

  const auto rows = Results(out);
  ASSERT_EQ(rows.size(), 5u);  // header and 4 points
  const int d = Column(rows, "Params_D_Value"), s = Column(rows, "Params_S_Value");
  const int status = Column(rows, "status"), decisions = Column(rows, "decisions");
  ASSERT_GE(d, 0);
  ASSERT_GE(s, 0);
  EXPECT_EQ(rows[1][d] + " " + rows[1][s], "0.3 0.15");
  EXPECT_EQ(rows[2][d] + " " + rows[2][s], "0.3 0.35");
  EXPECT_EQ(rows[4][d] + " " + rows[4][s], "0.7 0.35");
  std::set<std::string> seeds;
  for (std::size_t r = 1; r < rows.size(); ++r) {
    EXPECT_EQ(rows[r][status], "ok");
    EXPECT_EQ(rows[r][decisions], "100");
    seeds.insert(rows[r][Column(rows, "seed")]);
    for (int b = 1; b <= 4; ++b) {
      const std::string block = "b" + std::to_string(b);
      const double p1 = std::stod(rows[r][Column(rows, block + "_p_1")]);
      const double p2 = std::stod(rows[r][Column(rows, block + "_p_2")]);
      EXPECT_NEAR(p1 + p2, 1.0, 1e-9);
      const double outcome = std::stod(rows[r][Column(rows, block + "_outcome")]);
      EXPECT_GE(outcome, 0);
      EXPECT_LE(outcome, 4);
    }
  }
  EXPECT_EQ(seeds.size(), 4u) << "every point has a seed of its own";
  // The default keep: the trial table stays, the experiment database does not.
  const std::string point = out + "/points/p0001";
  EXPECT_TRUE(fs::exists(point + "/trials.csv"));
  EXPECT_TRUE(fs::exists(point + "/blocks.csv"));
  EXPECT_FALSE(fs::exists(point + "/model.mdb"));
  for (const auto& entry : fs::directory_iterator(point)) EXPECT_NE(entry.path().extension(), ".mdb");
  const std::string trials = Read(point + "/trials.csv");
  EXPECT_EQ(trials.rfind("SubjectID,TrialNumber,CueNumber,", 0), 0u) << trials.substr(0, 200);
  EXPECT_EQ(std::count(trials.begin(), trials.end(), '\n'), 1 + 5 * 20 * 2) << "a row per cue, two cues a trial";

  // The same sweep in another folder gives the same numbers.
  const std::string again = temp.File("again");
  ASSERT_EQ(Sweep(again, {"--jobs", "1"}).code, 0);
  EXPECT_EQ(Results(again), rows);

  // collect rebuilds results.csv from the points.
  fs::remove(out + "/results.csv");
  const Outcome collect = Korvane({"sweep", "collect", Q(out)}, temp.File("data"));
  ASSERT_EQ(collect.code, 0) << collect.output;
  EXPECT_EQ(Results(out), rows);
}

TEST_F(SweepTest, ResumesAnInterruptedSweepAndChunksAddUpToTheWhole) {
  const std::string reference = temp.File("reference");
  ASSERT_EQ(Sweep(reference).code, 0);

  // Interrupt a one-job sweep once its first point is complete.
  const std::string out = temp.File("sweep");
  QProcess process;
  StartSweep(process, out, {"--jobs", "1"});
  for (int i = 0; i < 1200 && !fs::exists(out + "/points/p0001/summary.json"); ++i) QThread::msleep(50);
  ASSERT_TRUE(fs::exists(out + "/points/p0001/summary.json"));
  process.terminate();
  ASSERT_TRUE(process.waitForFinished(60000));
  const std::string said = process.readAll().toStdString();
  ASSERT_EQ(process.exitCode(), 130) << said;
  EXPECT_NE(said.find("Interrupted"), std::string::npos) << said;
  EXPECT_FALSE(fs::exists(out + "/points/p0004/summary.json"));

  const Outcome resumed = Sweep(out);
  ASSERT_EQ(resumed.code, 0) << resumed.output;
  EXPECT_NE(resumed.output.find("already complete"), std::string::npos) << resumed.output;
  EXPECT_EQ(Results(out), Results(reference));

  // A rerun of a complete sweep runs nothing.
  const Outcome rerun = Sweep(out);
  EXPECT_NE(rerun.output.find("0 points run, 4 skipped"), std::string::npos) << rerun.output;

  // The chunks of a job array, then collect: the whole sweep.
  const std::string chunked = temp.File("chunked");
  for (const char* chunk : {"1/3", "2/3", "3/3"}) {
    const Outcome part = Sweep(chunked, {"--only", chunk, "--keep", "all"});
    ASSERT_EQ(part.code, 0) << part.output;
    EXPECT_FALSE(fs::exists(chunked + "/results.csv")) << "a chunk leaves results.csv to collect";
  }
  // --keep all keeps the point's model and its experiment database.
  int databases = 0;
  for (const auto& entry : fs::directory_iterator(chunked + "/points/p0004"))
    databases += entry.path().extension() == ".mdb" ? 1 : 0;
  EXPECT_EQ(databases, 2);
  ASSERT_EQ(Korvane({"sweep", "collect", Q(chunked)}, temp.File("data")).code, 0);
  EXPECT_EQ(Results(chunked), Results(reference));
}

TEST_F(SweepTest, ASecondSweepIntoTheSameFolderIsRefusedAndShortPointsAreRunAgain) {
  const std::string out = temp.File("sweep");
  QProcess first;
  StartSweep(first, out, {"--jobs", "1"});
  for (int i = 0; i < 1200 && !fs::exists(out + "/points/p0001"); ++i) QThread::msleep(10);
  ASSERT_TRUE(fs::exists(out + "/points/p0001"));
  // The same grid and another one into the same folder, while it works.
  for (const QStringList& more : {QStringList{}, QStringList{"--seed", "9"}}) {
    const Outcome second = Sweep(out, more);
    EXPECT_EQ(second.code, 1) << second.output;
    EXPECT_NE(second.output.find("is in use by another sweep (a sweep by process " +
                                 std::to_string(first.processId())),
              std::string::npos)
        << second.output;
  }
  ASSERT_TRUE(first.waitForFinished(120000));
  const std::string said = first.readAll().toStdString();
  ASSERT_EQ(first.exitCode(), 0) << said;
  const auto rows = Results(out);
  ASSERT_EQ(rows.size(), 5u);
  for (std::size_t r = 1; r < rows.size(); ++r) EXPECT_EQ(rows[r][Column(rows, "decisions")], "100");

  // A point whose summary holds fewer decisions than asked for is not
  // complete: collect says so and a rerun runs it again.
  const std::string summaryPath = out + "/points/p0002/summary.json";
  const std::string summary = Read(summaryPath);
  const auto at = summary.rfind("\"decisions\":");  // the point's own, after its blocks
  ASSERT_NE(at, std::string::npos) << summary;
  const auto end = summary.find_first_of(",}", at);
  std::ofstream(summaryPath, std::ios::binary) << summary.substr(0, at) << "\"decisions\":3" << summary.substr(end);
  const Outcome collect = Korvane({"sweep", "collect", Q(out)}, temp.File("data"));
  EXPECT_NE(collect.output.find("3 of 4 points complete"), std::string::npos) << collect.output;
  const Outcome rerun = Sweep(out);
  ASSERT_EQ(rerun.code, 0) << rerun.output;
  EXPECT_NE(rerun.output.find("1 points run, 3 skipped"), std::string::npos) << rerun.output;
  EXPECT_EQ(Results(out), rows);
}

TEST_F(SweepTest, AKilledSweepTakesItsTaskCommandsChildrenWithIt) {
  // A task command that starts a process of its own and waits for it.
  const std::string out = temp.File("sweep"), pidFile = temp.File("grandchild.pid");
  QProcess sweep;
  StartSweep(sweep, out, {"--jobs", "1", "--task-command", Q("sleep 300 & echo $! > " + pidFile + "; wait")});
  for (int i = 0; i < 1000 && Read(pidFile).empty(); ++i) QThread::msleep(10);
  const std::string pid = Read(pidFile).substr(0, Read(pidFile).find('\n'));
  ASSERT_FALSE(pid.empty());
  sweep.kill();  // SIGKILL: the sweep itself can do nothing
  sweep.waitForFinished();
  auto alive = [&] {
    const std::string stat = Read("/proc/" + pid + "/stat");
    const auto paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
  };
  for (int i = 0; i < 500 && alive(); ++i) QThread::msleep(10);
  EXPECT_FALSE(alive()) << "process " << pid << " outlived the sweep";
}

TEST_F(SweepTest, FitsATargetMadeFromAKnownPointAndPlotsIt) {
  const std::string out = temp.File("sweep");
  ASSERT_EQ(Sweep(out).code, 0);
  // The point D 0.7, S 0.15 (p0003) in the target's own form.
  const std::string target = temp.File("human.csv");
  fs::copy_file(out + "/points/p0003/blocks.csv", target);
  EXPECT_EQ(Read(target).substr(0, 26), "block,decision,proportion\r");

  // Adding a target to a complete sweep fits it without running any point.
  const Outcome fit = Sweep(out, {"--target", Q(target)});
  ASSERT_EQ(fit.code, 0) << fit.output;
  EXPECT_NE(fit.output.find("0 points run"), std::string::npos) << fit.output;
  EXPECT_NE(fit.output.find("Best fit: p0003"), std::string::npos) << fit.output;
  const std::string best = Read(out + "/best.json");
  EXPECT_NE(best.find("\"point\": \"p0003\""), std::string::npos) << best;
  EXPECT_NE(best.find("\"Params_D_Value\": 0.7"), std::string::npos) << best;
  const auto rows = Results(out);
  EXPECT_EQ(rows[3][Column(rows, "rmse")], "0");
  for (std::size_t r = 1; r < rows.size(); ++r) {
    if (r == 3) continue;
    EXPECT_GT(std::stod(rows[r][Column(rows, "msd")]), 0);
    EXPECT_NEAR(std::sqrt(std::stod(rows[r][Column(rows, "msd")])), std::stod(rows[r][Column(rows, "rmse")]), 1e-9);
  }

  const Outcome plot = Korvane({"sweep", "plot", Q(out)}, temp.File("data"));
  ASSERT_EQ(plot.code, 0) << plot.output;
  const std::string png = Read(out + "/fit.png");
  ASSERT_GT(png.size(), 24u);
  EXPECT_EQ(png.substr(1, 3), "PNG");
  const auto width = (static_cast<unsigned char>(png[18]) << 8) | static_cast<unsigned char>(png[19]);
  EXPECT_EQ(width, 1400);
}

TEST_F(SweepTest, AFailingPointIsReportedAndTheOthersGoOn) {
  // The user's own task command; the point p0002 fails while the file
  // "broken" exists.
  const std::string broken = temp.File("broken");
  std::ofstream(broken) << "x";
  const std::string task = "if [ -e " + broken + " ]; then case {dir} in *p0002) echo no such task >&2; exit 3;; "
                           "esac; fi; exec " + Program() +
                           " task binary-choice --port {port} --subjects {subjects} --trials {trials} --seed {seed}";
  const std::string out = temp.File("sweep");
  const QStringList args = Grid(out, {"--task-command", Q(task), "--keep", "none"});
  const Outcome run = Korvane(args, temp.File("data"));
  EXPECT_EQ(run.code, 1) << run.output;
  EXPECT_NE(run.output.find("p0002 (Params_D_Value=0.3, Params_S_Value=0.35) FAILED"), std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("no such task"), std::string::npos) << run.output;
  auto rows = Results(out);
  ASSERT_EQ(rows.size(), 5u);
  const int status = Column(rows, "status");
  EXPECT_EQ(rows[1][status], "ok");
  EXPECT_EQ(rows[2][status].rfind("failed: the task ended with exit code 3", 0), 0u) << rows[2][status];
  EXPECT_EQ(rows[3][status], "ok");
  EXPECT_EQ(rows[4][status], "ok");
  // --keep none leaves only the summary of a point.
  EXPECT_FALSE(fs::exists(out + "/points/p0001/trials.csv"));
  EXPECT_TRUE(fs::exists(out + "/points/p0001/summary.json"));

  // Mended, the rerun runs only the failed point.
  fs::remove(broken);
  const Outcome again = Korvane(args, temp.File("data"));
  EXPECT_EQ(again.code, 0) << again.output;
  EXPECT_NE(again.output.find("1 points run, 3 skipped"), std::string::npos) << again.output;
  rows = Results(out);
  EXPECT_EQ(rows[2][status], "ok");
}

TEST_F(SweepTest, RefusesWhatCannotRunBeforeRunningAnything) {
  const std::string out = temp.File("sweep");
  Outcome run = Korvane({"sweep", Q(model), "-o", Q(out), "--vary", "Params_D_Value"}, temp.File("data"));
  EXPECT_EQ(run.code, 2);
  EXPECT_NE(run.output.find("expected KEY=V1,V2"), std::string::npos) << run.output;
  run = Korvane({"sweep", Q(model), "-o", Q(out), "--vary", "Params_D_Value=1:0:0.5"}, temp.File("data"));
  EXPECT_EQ(run.code, 2);
  run = Korvane({"sweep", Q(model), "-o", Q(out), "--vary", "Params_Dd_Value=0.5"}, temp.File("data"));
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.output.find("no setting Params_Dd_Value"), std::string::npos) << run.output;
  std::ofstream(temp.File("bad.csv")) << "block,decision,proportion\n1,1,0.5\n11,1,0.5\n";
  run = Korvane({"sweep", Q(model), "-o", Q(out), "--vary", "Params_D_Value=0.5", "--target", Q(temp.File("bad.csv"))},
                temp.File("data"));
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.output.find("line 3: block '11' is not a block of this sweep (1 to 10)"), std::string::npos)
      << run.output;
  EXPECT_FALSE(fs::exists(out + "/points/p0001"));
  run = Korvane({"sweep", "collect", Q(temp.File("nothing"))}, temp.File("data"));
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.output.find("holds no sweep"), std::string::npos) << run.output;

  // --slurm --no-submit writes the job array without running a point.
  run = Sweep(out, {"--slurm", "--no-submit", "--partition", "short", "--time", "00:20:00"});
  ASSERT_EQ(run.code, 0) << run.output;
  const std::string script = Read(out + "/sweep.sbatch");
  EXPECT_NE(script.find("#SBATCH --array=1-4\n"), std::string::npos) << script;
  EXPECT_NE(script.find("#SBATCH --partition=short\n"), std::string::npos) << script;
  EXPECT_NE(script.find("#SBATCH --time=00:20:00\n"), std::string::npos) << script;
  EXPECT_NE(script.find("--only \"${SLURM_ARRAY_TASK_ID}/4\""), std::string::npos) << script;
  EXPECT_NE(Read(out + "/collect.sbatch").find(" sweep collect "), std::string::npos);
  EXPECT_FALSE(fs::exists(out + "/points/p0001"));
}

TEST(SweepRules, GridChunksAndFit) {
  auto v = sweep::ParseVariation("Params_D_Value=0.1:0.3:0.1");
  EXPECT_EQ(v.values, (std::vector<std::string>{"0.1", "0.2", "0.3"}));
  v = sweep::ParseVariation("Params_CT_Cmp=>,<");
  EXPECT_EQ(v.values, (std::vector<std::string>{">", "<"}));
  EXPECT_THROW(sweep::ParseVariation("K=1,1"), sweep::SweepError);
  EXPECT_THROW(sweep::ParseVariation("K=0:1:0"), sweep::SweepError);

  // Chunks cover every point once, whatever the sizes.
  for (int points : {1, 7, 9, 100}) {
    for (int chunks : {1, 2, 3, 8}) {
      std::vector<int> seen;
      for (int i = 1; i <= chunks; ++i) {
        auto part = sweep::ChunkPoints(std::to_string(i) + "/" + std::to_string(chunks), points);
        seen.insert(seen.end(), part.begin(), part.end());
      }
      ASSERT_EQ(static_cast<int>(seen.size()), points);
      for (int n = 0; n < points; ++n) EXPECT_EQ(seen[n], n + 1);
    }
  }
  EXPECT_THROW(sweep::ChunkPoints("0/3", 9), sweep::SweepError);
  EXPECT_THROW(sweep::ChunkPoints("3", 9), sweep::SweepError);

  // A point's seed depends on its values, not on the rest of the grid.
  sweep::SweepDefinition small, large;
  small.vary = {sweep::ParseVariation("A=1,2")};
  large.vary = {sweep::ParseVariation("A=0,1,2")};
  EXPECT_EQ(sweep::MakePoints(small)[1].seed, sweep::MakePoints(large)[2].seed);
  small.seed = 2;
  EXPECT_NE(sweep::MakePoints(small)[1].seed, sweep::MakePoints(large)[2].seed);

  // Blocks count each subject's trials from its first, and fit is the mean
  // squared deviation over the target's cells (a missing decision is 0).
  std::vector<sweep::TrialRecord> trials;
  for (int subject = 1; subject <= 2; ++subject)
    for (int t = 0; t < 4; ++t) trials.push_back({subject, t, t + 1, t < 2 ? "1" : "2", t < 2 ? 3.0 : 4.0});
  sweep::PointSummary point;
  point.blocks = sweep::SummarizeBlocks(trials, 2, 2);
  ASSERT_EQ(point.blocks.size(), 2u);
  EXPECT_EQ(point.blocks[0].proportion.at("1"), 1.0);
  EXPECT_EQ(*point.blocks[1].meanOutcome, 4.0);
  sweep::Target target;
  target.proportion = {{{1, "1"}, 0.5}, {{1, "2"}, 0.5}, {{2, "2"}, 1.0}};
  const auto fit = sweep::FitToTarget(point, target);
  EXPECT_NEAR(fit.msd, (0.25 + 0.25 + 0) / 3, 1e-12);
  EXPECT_NEAR(fit.rmse, std::sqrt(fit.msd), 1e-12);
  ASSERT_TRUE(fit.r.has_value());
}

}  // namespace
