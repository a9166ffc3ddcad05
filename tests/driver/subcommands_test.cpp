// Tests of the subcommands (vorn fit, simulate, check).
#include <gtest/gtest.h>
