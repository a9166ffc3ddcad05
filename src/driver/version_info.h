// The version and the commit the build was made from.
#pragma once

namespace vorn {

// Written by the build (cmake/version_info.cmake): the project's version, and the git commit the
// tool was built from, with ", modified" when tracked files differed from it; empty outside a
// git checkout.
extern const char kVersion[];
extern const char kBuildCommit[];

}  // namespace vorn
