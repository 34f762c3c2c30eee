// The counters file and the state file: formats, round trips, failures.
#include <csignal>
#include <cstdio>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "persistence/checkpoint.h"
#include "tests/fakes/test_support.h"

namespace {

class CheckpointTest : public CollectorTest {
 protected:
  // Reads `text` as a state file into fresh tables.
  Tables read_state(const std::string& text) {
    write_file("in.cache", text);
    Tables t;
    FILE* f = fopen("in.cache", "rb");
    EXPECT_NE(nullptr, f);
    if (f) {
      read_state_file(t, f);
      fclose(f);
    }
    return t;
  }
  void read_counters_from(const std::string& text) {
    write_file("in.counters", text);
    FILE* f = fopen("in.counters", "rb");
    ASSERT_NE(nullptr, f);
    read_counters(c(), f);
    fclose(f);
  }
};

TEST_F(CheckpointTest, EmptyTablesWriteOneLine) {
  EXPECT_EQ("Last_new_wu\t0\n", format_state_file(Tables()));
}

TEST_F(CheckpointTest, TablesAreWrittenInTagOrderThenKeyOrder) {
  Tables t;
  t.Run["r;cpu;P;A|U;x86;"] = 2.5;
  t.Active_project = {"Zeta", "Alpha"};
  t.Platform["A_100"] = "x86_64-pc-linux-gnu";
  t.App["A"] = "U";
  t.Last_new_wu = 600;
  t.New_wu["P;A|U"] = 2;
  t.Prochain_releve["r1"] = 1700000060.0;
  t.Ecart_releve["r1"] = 60.0;
  t.Project["http://h/p/"] = "P";
  t.Dl_app["A"] = "P;A|U;1234.000000";
  t.Dir["r1"] = "/d/projects/h_p";
  t.Size_file_result["r1_0"] = 20480.0;
  t.Nb_file_result["r1"] = 1;
  t.Duree["r1"] = "d;1;2";
  t.Result["r2"] = "cpu;P;A|U;x86;";
  t.Result["r1"] = "cpu;P;A|U;x86;";
  t.Occupation["r1"] = "d;1.5";
  t.Download["r1"] = "P;A|U;3000.000000;";
  t.Upload["r1"] = "d;20480.000000;3600";
  t.File["/d/projects/h_p/in"] = 1000.0;
  t.Conso["r1"] = "d;4096";
  t.Check["r1"] = "d;10|5";
  t.Delai["r1"] = "1699999000;1700600000";
  EXPECT_EQ(
      "Delai\tr1\t1699999000;1700600000\n"
      "Check\tr1\td;10|5\n"
      "Conso\tr1\td;4096\n"
      "File\t/d/projects/h_p/in\t1000.000000\n"
      "Upload\tr1\td;20480.000000;3600\n"
      "Download\tr1\tP;A|U;3000.000000;\n"
      "Occupation\tr1\td;1.5\n"
      "Result\tr1\tcpu;P;A|U;x86;\n"
      "Result\tr2\tcpu;P;A|U;x86;\n"
      "Duree\tr1\td;1;2\n"
      "Nb_file_result\tr1\t1\n"
      "Size_file_result\tr1_0\t20480.000000\n"
      "Dir\tr1\t/d/projects/h_p\n"
      "Dl_app\tA\tP;A|U;1234.000000\n"
      "Project\thttp://h/p/\tP\n"
      "Ecart_releve\tr1\t60.000000\n"
      "Prochain_releve\tr1\t1700000060.000000\n"
      "New wu\tP;A|U\t2\n"
      "Last_new_wu\t600\n"
      "App\tA\tU\n"
      "Platform\tA_100\tx86_64-pc-linux-gnu\n"
      "Active_project\tZeta\n"
      "Active_project\tAlpha\n"
      "Run\tr;cpu;P;A|U;x86;\t2.500000\n",
      format_state_file(t));
  // And every table comes back as it was.
  Tables back = read_state(format_state_file(t));
  EXPECT_EQ(format_state_file(t), format_state_file(back));
}

TEST_F(CheckpointTest, ReaderEdgeCases) {
  Tables t = read_state(
      "Delai\tr1\ta\tb\n"          // a TAB inside the value stays in it
      "Delai\tr2\tx\n"
      "Delai\tr2\ty\n"             // the last line for a key wins
      "Check\tr3\t\n"              // empty value: not restored
      "Conso\t\tvalue\n"           // empty key: the value takes its place
      "Bogus\tk\tv\n"              // unknown tag: ignored
      "Result\n"                   // a tag alone: ignored
      "Active_project\tP\tQ\n"     // cut at the TAB
      "Active_project\t\n"         // nothing left: skipped
      "File\t/p\t1.1234567\n"      // rounded to six decimals when written
      "Run\tk\t2.5\n"
      "New wu\tP;A|U\t3\n"
      "Nb_file_result\tr1\t2\n"
      "Last_new_wu\t600\n");
  EXPECT_EQ("a\tb", t.Delai["r1"]);
  EXPECT_EQ("y", t.Delai["r2"]);
  EXPECT_EQ(0u, t.Check.size());
  EXPECT_EQ(0u, t.Conso.count(""));
  EXPECT_EQ(std::vector<std::string>({"P"}), t.Active_project);
  EXPECT_DOUBLE_EQ(1.1234567, t.File["/p"]);
  EXPECT_DOUBLE_EQ(2.5, t.Run["k"]);
  EXPECT_EQ(3, t.New_wu["P;A|U"]);
  EXPECT_EQ(2, t.Nb_file_result["r1"]);
  EXPECT_EQ(600, t.Last_new_wu);
  EXPECT_EQ(0u, t.Result.size());
  EXPECT_NE(std::string::npos, format_state_file(t).find("File\t/p\t1.123457\n"));

  EXPECT_EQ(0, read_state("Last_new_wu\t\n").Last_new_wu);
  // Names from the client may hold TABs and line ends: in a key a TAB would
  // move the key's end, and a line end anywhere would start a forged line.
  // They are written as blanks.
  Tables odd;
  odd.Delai["k1\tk2"] = "v";
  odd.Result["r\nRun\tforged\t99"] = "d\r\nResult\tx\ty";
  odd.Active_project = {"P\tQ\nActive_project\tZ"};
  Tables back = read_state(format_state_file(odd));
  EXPECT_EQ("v", back.Delai["k1 k2"]);
  EXPECT_EQ("d  Result\tx\ty", back.Result["r Run forged 99"]);
  EXPECT_EQ(1u, back.Result.size());
  EXPECT_TRUE(back.Run.empty());
  EXPECT_EQ(std::vector<std::string>({"P Q Active_project Z"}), back.Active_project);
}

TEST_F(CheckpointTest, LongHistoriesSurviveWholeInBothFiles) {
  open_output();
  Tables t;
  std::string history = "cpu;P;A|U;x86;";
  for (int i = 0; i < 40000; i++) history += ";" + std::to_string(1000000 + i);
  t.Conso["big"] = history;
  t.Conso["small"] = "ok";
  Tables back = read_state(format_state_file(t));
  EXPECT_EQ(history, back.Conso["big"]);
  EXPECT_EQ("ok", back.Conso["small"]);
  // The file is written in pieces far shorter than this line, and is still
  // the text above byte for byte.
  for (int i = 0; i < 30000; i++) t.Result["r" + std::to_string(i)] = "d;" + std::to_string(i);
  c().tables = t;
  ASSERT_EQ(0, write_state_file(c()));
  EXPECT_EQ(format_state_file(t), read_file("cache"));
  c().out.printf("%d;conso|%s;%s\n", 1, "wu", history.c_str());
  EXPECT_EQ("1;conso|wu;" + history + "\n", output());
  EXPECT_EQ("", log());
}

TEST_F(CheckpointTest, OutputRecordsStayOneLine) {
  open_output();
  c().out.printf("%d;delai;%s;%s|%s;;%s;%s\n", 1, "P\n2;run;forged;99", "A\r", "U", "1", "2");
  c().out.copy("copied\nlines\n");
  EXPECT_EQ("1;delai;P 2;run;forged;99;A |U;;1;2\ncopied\nlines\n", output());
}

struct CountersCase {
  const char* text;
  int counter, start, process;
};

TEST_F(CheckpointTest, CountersReader) {
  const CountersCase cases[] = {
      {"12\n345\n678\n", 12, 345, 678},
      {"12\r\n345\r\n678\r\n", 12, 345, 678},
      {"7\n", 7, 7, 7},  // a short file repeats its last line
      {"", 0, 0, 0},     // an empty file is a new task
      {"9\tjunk\n10\n", 9, 10, 10},
      {"x\n\n-3\n", 0, 0, -3},
      {"99999999999\n", 2147483647, 2147483647, 2147483647},
  };
  for (const CountersCase& k : cases) {
    c().cycle_counter = c().cycle_start_time = c().process_start_time = -1;
    read_counters_from(k.text);
    EXPECT_EQ(k.counter, c().cycle_counter) << k.text;
    EXPECT_EQ(k.start, c().cycle_start_time) << k.text;
    EXPECT_EQ(k.process, c().process_start_time) << k.text;
  }
}

TEST_F(CheckpointTest, WriteCheckpointWritesCountersThenState) {
  c().cycle_counter = 3;
  c().cycle_start_time = 1700000120;
  c().process_start_time = 1700000000;
  c().tables.Delai["r1"] = "1;2";
  ASSERT_EQ(0, write_checkpoint(c()));
  // Counters, then the output's length (no output here: -1) and whether the
  // finish is written; the state file carries the same mark.
  EXPECT_EQ("3\n1700000120\n1700000000\n-1\n0\n", read_file("checkpoint"));
  EXPECT_EQ("Delai\tr1\t1;2\nLast_new_wu\t0\nCheckpoint\t-\t3;1700000120;-1;0\n",
            read_file("cache"));
  EXPECT_FALSE(file_exists("temp"));
  // No temporary state file is left beside the state file.
  EXPECT_EQ("cache\ncheckpoint\n", list_directory("."));
}

TEST_F(CheckpointTest, FailuresLeaveThePreviousCheckpointWhole) {
  c().cycle_counter = 1;
  c().tables.Delai["r1"] = "old";
  ASSERT_EQ(0, write_checkpoint(c()));
  std::string counters = read_file("checkpoint");
  std::string state = read_file("cache");
  c().cycle_counter = 2;
  c().tables.Delai["r1"] = "new";

  // "temp" cannot be created: 1, nothing touched.
  make_dirs("temp");
  EXPECT_EQ(1, write_checkpoint(c()));
  EXPECT_EQ(counters, read_file("checkpoint"));
  EXPECT_EQ(state, read_file("cache"));
  rmdir("temp");

  // "temp" cannot replace the counters file (here a directory that even the
  // library's fallback move cannot enter): nonzero, the state untouched.
  rename("checkpoint", "saved");
  make_dirs("checkpoint/temp/busy");
  EXPECT_NE(0, write_checkpoint(c()));
  EXPECT_EQ(state, read_file("cache"));
  system("rm -rf checkpoint");
  rename("saved", "checkpoint");

  // The state file cannot be replaced: 1, the counters already moved on,
  // the state file as it was, no temporary file left behind.
  c().paths.state_file = "statedir/cache";
  make_dirs("statedir/cache/x");
  write_file("statedir/cache/x/f", "keep");
  EXPECT_EQ(1, write_checkpoint(c()));
  EXPECT_EQ("2\n", read_file("checkpoint").substr(0, 2));
  EXPECT_EQ("keep", read_file("statedir/cache/x/f"));
  EXPECT_EQ("cache\n", list_directory("statedir"));
}

// The client kills tasks at any moment: whatever the instant, the state file
// on disk is one whole checkpoint, never a truncated one.
TEST_F(CheckpointTest, StateFileIsWholeWhenKilledAnywhere) {
  Tables versions[2];
  for (int v = 0; v < 2; v++) {
    for (int i = 0; i < 20000; i++) {
      versions[v].Result["result_" + std::to_string(i)] =
          "cpu;Project " + std::to_string(v) + ";app|App;x86_64-pc-linux-gnu;";
    }
  }
  const std::string texts[2] = {format_state_file(versions[0]), format_state_file(versions[1])};
  c().tables = versions[0];
  ASSERT_EQ(0, write_state_file(c()));
  std::mt19937 random(12345);
  int kills = 0;
  for (int round = 0; round < 40; round++) {
    pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
      for (int n = 0;; n++) {
        c().tables = versions[n % 2];
        write_state_file(c());
      }
    }
    usleep(1000 + random() % 20000);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFSIGNALED(status)) kills++;
    std::string on_disk = read_file("cache");
    ASSERT_TRUE(on_disk == texts[0] || on_disk == texts[1])
        << "round " << round << ": " << on_disk.size() << " bytes";
  }
  EXPECT_EQ(40, kills);
}

}  // namespace
