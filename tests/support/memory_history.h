#pragma once
#include "estimation/history_sink.h"

namespace vorn {
namespace testing_support {

using MemoryHistory = RecordedHistory;

}  // namespace testing_support
}  // namespace vorn
