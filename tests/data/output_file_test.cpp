#include "data/output_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.h"

namespace vorn {
namespace {

using testing_support::ReadText;
using testing_support::TemporaryFilesIn;
using testing_support::WriteText;

class OutputFileTest : public testing_support::ScratchTest {
 protected:
  OutputFileTest() { WriteText("a.txt", "earlier\n"); }
  ~OutputFileTest() override { SetOutputStepHookForTesting(nullptr); }
};

TEST_F(OutputFileTest, TheNameChangesOnlyWhenTheFileIsComplete) {
  OutputFile file("a.txt", "Test");
  ASSERT_TRUE(file.Open());
  std::fprintf(file.get(), "complete\n");
  std::fflush(file.get());
  EXPECT_EQ(ReadText("a.txt"), "earlier\n");
  EXPECT_EQ(TemporaryFilesIn(".").size(), 1U);
  EXPECT_TRUE(file.Commit());
  EXPECT_EQ(ReadText("a.txt"), "complete\n");
  EXPECT_EQ(TemporaryFilesIn("."), std::vector<std::string>());
}

// Writes of the file under test go to /dev/full, as on a full disk.
void WriteToFull(const std::string&, OutputStep step, std::FILE* file) {
  if (step != OutputStep::kOpened) return;
  const int full = open("/dev/full", O_WRONLY);
  dup2(full, fileno(file));
  close(full);
}

TEST_F(OutputFileTest, AFailureLeavesTheEarlierFileAndNoTemporary) {
  std::filesystem::create_directory("folder.txt");
  const struct {
    const char* label;
    const char* name;
    bool opens;
    bool fullDisk;
    const char* error;
  } cases[] = {
      {"never committed", "a.txt", true, false, ""},
      {"full disk", "a.txt", true, true, "Error:VORN:Test: The file a.txt cannot be written\n"},
      {"missing folder", "none/a.txt", false, false, ""},
      {"a folder in its place", "folder.txt", false, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.fullDisk && access("/dev/full", W_OK) != 0) continue;
    SetOutputStepHookForTesting(c.fullDisk ? WriteToFull : nullptr);
    testing::internal::CaptureStderr();
    {
      OutputFile file(c.name, "Test");
      EXPECT_EQ(file.Open(), c.opens);
      if (c.fullDisk) {
        std::fprintf(file.get(), "lost\n");
        EXPECT_FALSE(file.Commit());
      }
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.error);
    EXPECT_EQ(ReadText("a.txt"), "earlier\n");
    EXPECT_TRUE(std::filesystem::is_directory("folder.txt"));
    EXPECT_EQ(TemporaryFilesIn("."), std::vector<std::string>());
  }
}

}  // namespace
}  // namespace vorn
