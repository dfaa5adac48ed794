// Processes that share the test's emulated machine (POSIX only: forked
// copies of the test program, for tests of what several processes on one
// prefix do at the same time).
#pragma once

#include <functional>
#include <vector>

namespace kvtr::test {

// Runs `body(index)` in `count` forked processes, released together once
// all exist; each ends with the body's result as its exit status, without
// running this program's exit handlers. `meanwhile` (if given) runs in this
// process, again and again, until every child has ended. Returns each
// child's exit status, -1 for one that did not exit normally.
std::vector<int> RunInChildren(int count, const std::function<int(int index)>& body,
                               const std::function<void()>& meanwhile = {});

}  // namespace kvtr::test
