// Runs test code in a forked child, optionally inside a network namespace of its own, so
// that multicast joins and sends never reach the host's network and code that ends the
// process (exit, abort, a hang) can be tested from the outside.
//
// The namespace holds only loopback, up with multicast on and a route for 224.0.0.0/4,
// so a join or a send on "any interface" lands on lo and a sender in the same namespace
// reaches a receiver there.
//
// Typical use:
//   TEST(Thing, Works) {
//       NETNS_REQUIRE();
//       ChildRun run = netns_run([] { ... EXPECT_EQ(...); ... });
//       EXPECT_TRUE(child_ok(run));
//   }
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/support/deadline.h"

// Exit code of a child whose body recorded a gtest failure.
constexpr int CHILD_BODY_FAILED = 125;

struct ChildRun {
    bool entered = false;    // false: no namespace could be made (see why); the body never ran
    std::string why;
    bool timed_out = false;  // still running at the time limit, so killed with its group
    int exit_code = -1;      // the exit status, or -1 when a signal ended the child
    int signal = 0;          // the signal that ended the child, or 0
    std::string out;         // all the child wrote on standard output
    std::string err;         // all the child wrote on standard error
};

// Moves the calling process into a fresh network namespace set up as above; there is no
// way back to the host's. For a forked child only: unsharing needs a single thread when it
// falls back to a user namespace (not root). On failure returns false with *why set.
bool netns_enter(std::string *why);

// Inside such a namespace: removes the route for 224.0.0.0/4, so that the namespace is
// a machine that is offline (loopback only, no multicast route): a join on INADDR_ANY
// then fails with ENODEV. False with *why set when that fails.
bool netns_drop_multicast_route(std::string *why);

// Whether netns_enter works here, tried in a throwaway child.
bool netns_available(std::string *why);

// Forks; the child sends its standard output and error to pipes, runs body, and ends
// with 0, or CHILD_BODY_FAILED when a gtest assertion in the body failed (the failure is
// printed on the child's standard output). The body may end the child itself (exit,
// abort, a signal). A child still running after timeout_ms is killed with SIGKILL, with
// everything it started. Safe under the sanitizers: the child never returns to the test runner.
ChildRun child_run(const std::function<void()> &body, int timeout_ms = test_deadline_ms);

// child_run with the body inside a fresh network namespace.
ChildRun netns_run(const std::function<void()> &body, int timeout_ms = test_deadline_ms);

// Success when the child ran and exited with 0; otherwise says how it ended, with its output.
testing::AssertionResult child_ok(const ChildRun &run);

// How the child ended and what it printed, for failure messages.
std::string child_describe(const ChildRun &run);

// In a test body or a fixture's SetUp: skips the test when no namespace can be made.
#define NETNS_REQUIRE()                                                  \
    do {                                                                 \
        std::string netns_why_;                                          \
        if (!netns_available(&netns_why_))                               \
            GTEST_SKIP() << "no network namespace: " << netns_why_;      \
    } while (0)
