#include "engine/foundation/errors.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/engine/foundation/test_support.h"

namespace vx {
namespace {

class ErrorsTest : public ::testing::Test {
 protected:
  testing::SettingsGuard guard_;
};

TEST_F(ErrorsTest, RaisesDescriptionCrLfAndContextMessage) {
  try {
    SetEngineError(210, "MOVIE.DBF is not a dBASE database. [USE/OpenDbf]");
    FAIL() << "nothing raised";
  } catch (const EVexelError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Error # 210 (Not a dBASE data file)\r\nMOVIE.DBF is not a dBASE database. "
              "[USE/OpenDbf]");
  }
  EXPECT_EQ(EngineErrorCode, 210);
  // Reporting took the message: nothing is left for EngineErrorText.
  EXPECT_EQ(EngineErrorText(), "");
}

// Advice travels with its message: raised apart from the text for a program that words it
// itself, in the engine's words in the text, and gone with the message (never on a later error).
TEST_F(ErrorsTest, AdviceGoesWithItsMessage) {
  try {
    SetEngineError(222, "T.NDX does not agree", {{EngineRemedy::kRepairNdx, "rebuilds it"}});
    FAIL() << "nothing raised";
  } catch (const EVexelError& e) {
    EXPECT_EQ(e.Fault(), "Error # 222 (Corrupted index file)\r\nT.NDX does not agree");
    ASSERT_EQ(e.Advice().size(), 1u);
    EXPECT_EQ(e.Advice()[0].remedy, EngineRemedy::kRepairNdx);
    EXPECT_EQ(std::string(e.what()), e.Fault() + " (a check of the .NDX with repair rebuilds it)");
  }
  try {
    SetEngineError(213, "[GO(9)]");
    FAIL() << "nothing raised";
  } catch (const EVexelError& e) {
    EXPECT_TRUE(e.Advice().empty());
    EXPECT_EQ(e.Fault(), e.what());
  }
  QuietErrors quiet;
  SetEngineError(222, "tag A",
                 {{EngineRemedy::kRepair, "rebuilds it"}, {EngineRemedy::kAddTag, ""}});
  EXPECT_EQ(TakeErrorMessage(), "tag A (a check with repair rebuilds it; adding a tag)");
  EXPECT_TRUE(LastErrorAdvice->empty());
  SetEngineError(222, "tag B", {{EngineRemedy::kRepair, "rebuilds it"}});
  SetEngineError(213, "[GO(9)]");
  EXPECT_EQ(TakeErrorMessage(), "[GO(9)]");
}

TEST_F(ErrorsTest, DescribesCodesFromTheTable) {
  EXPECT_EQ(ErrorDescription(0), "");
  EXPECT_EQ(ErrorDescription(7), "Error # 7 (Undefined error)");
  EXPECT_EQ(ErrorDescription(162), "Error # 162 (File sharing violation)");
  EXPECT_EQ(ErrorDescription(227), "Error # 227 (Insufficient disk space )");
  EXPECT_EQ(ErrorDescription(1203), "Error # 1203 (Network Error)");
  EXPECT_EQ(ErrorDescription(1250), "Error # 1250 (Network Error)");
  EXPECT_EQ(ErrorDescription(1299), "Error # 1299 (Network Error)");
  EXPECT_EQ(ErrorDescription(1300), "Error # 1300 (File format not supported)");
  EXPECT_EQ(ErrorDescription(351), "Error # 351 (Error in expression)");
  EXPECT_EQ(ErrorDescription(352), "Error # 352 (Undefined error)");
  EXPECT_EQ(ErrorDescription(65535), "Error # 65535 (Undefined error)");
}

TEST_F(ErrorsTest, OnlyRecordsWhenRaiseOnErrorIsOff) {
  QuietErrors quiet;
  SetEngineError(213, "File:  movie.dbf  [GetDbfRecord]");
  EXPECT_EQ(EngineErrorCode, 213);
  EXPECT_EQ(LastErrorCode, 213);
  EXPECT_EQ(EngineErrorText(),
            "Error # 213 (End of file found unexpectedly)\r\nFile:  movie.dbf  [GetDbfRecord]");
  EXPECT_EQ(EngineErrorText(), "");

  SetEngineError(212, "[GO(99)]");
  EXPECT_EQ(TakeErrorMessage(), "[GO(99)]");
  EXPECT_EQ(EngineErrorText(), "");
  EXPECT_EQ(EngineErrorCode, 212) << "the last operation's code stays for callers to test";
}

TEST_F(ErrorsTest, FreeBlockOfNullRaisesCode9) {
  void* pointer = nullptr;
  try {
    FreeBlock(pointer, 16);
    FAIL() << "nothing raised";
  } catch (const EVexelError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Error # 9 (Memory block address invalid)\r\n"
              "Attempt to free NIL pointer [FreeMem()]");
  }
  EXPECT_EQ(EngineErrorCode, 9);
  EXPECT_EQ(pointer, nullptr);
}

int handler_calls = 0;
std::string handler_saw;
void RecordingHandler() {
  ++handler_calls;
  handler_saw = std::to_string(LastErrorCode) + " " + *LastErrorMessage;
}

TEST_F(ErrorsTest, CallsTheInstalledHandlerInsteadOfRaising) {
  handler_calls = 0;
  ErrorHandlerProc = &RecordingHandler;
  EXPECT_NO_THROW(SetEngineError(220, "[Select(40)]"));
  EXPECT_EQ(handler_calls, 1);
  EXPECT_EQ(handler_saw, "220 [Select(40)]");
}

TEST_F(ErrorsTest, ReportsNothingForCodeZeroOrWhileHalting) {
  EXPECT_NO_THROW(SetEngineError(0, "nothing went wrong"));
  Halting = true;
  EXPECT_NO_THROW(SetEngineError(5, "[FileLock]"));
  EXPECT_EQ(EngineErrorCode, 5);
}

// With exceptions off the report ends the process with the code as exit status, after showing
// the text captioned "Program halted." (on standard error when no GUI is running). The report
// runs in a child process whose standard error goes into a pipe.
TEST_F(ErrorsTest, HaltsWithTheCodeWhenExceptionsAreOff) {
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(pipe_fds[0]);
    dup2(pipe_fds[1], STDERR_FILENO);
    close(pipe_fds[1]);
    UseExceptions = false;
    SetEngineError(213, "File:  movie.dbf  [GetDbfRecord]");
    _exit(0);  // the report did not halt
  }
  close(pipe_fds[1]);
  std::string output;
  char buffer[512];
  ssize_t got;
  while ((got = read(pipe_fds[0], buffer, sizeof buffer)) > 0) output.append(buffer, got);
  close(pipe_fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);

  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 213);
  EXPECT_NE(output.find("Program halted."), std::string::npos) << output;
  EXPECT_NE(output.find("Error # 213 (End of file found unexpectedly)\r\n"
                        "File:  movie.dbf  [GetDbfRecord]"),
            std::string::npos)
      << output;
}

}  // namespace
}  // namespace vx
