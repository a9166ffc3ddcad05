#include "data/progress.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace vorn {
namespace {

double now = 0;
double Clock() { return now; }
bool Terminal(std::FILE*) { return true; }
bool NotTerminal(std::FILE*) { return false; }

TEST(ProgressDisplayTest, ThrottledPerDestinationWithTheLastLineAtTheEnd) {
  // Lines at 0, 0.05, 0.2, 4, 5.5 and 5.65 seconds, then the end; two more after it, and an end;
  // then a line of blanks only.
  const std::pair<bool (*)(std::FILE*), const char*> cases[] = {
      {NotTerminal, "   1 it\n   5 it\n   6 it\n   7 it\n   8 it\n\n"},
      {Terminal, "\r   1 it   \r   3 it   \r   4 it   \r   5 it   \r   6 it   \r   7 it   \r   8 it   \r "},
  };
  for (const auto& [terminal, expected] : cases) {
    SCOPED_TRACE(expected);
    FilePtr file(std::tmpfile());
    ProgressDisplay display(file.get(), terminal, Clock);
    int line = 0;
    for (double t : {0.0, 0.05, 0.2, 4.0, 5.5, 5.65}) {
      now = t;
      display.Show("\r   %d it   ", ++line);
    }
    display.End();
    display.End();  // nothing held back: prints nothing
    for (double t : {5.61, 5.62}) {
      now = t;
      display.Show("\r   %d it   ", ++line);
    }
    display.End();
    display.Show("\r%c", ' ');
    EXPECT_EQ(testing_support::Contents(file.get()), expected);
  }
}

}  // namespace
}  // namespace vorn
