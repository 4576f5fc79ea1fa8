// How long a test waits for the event it checks before it gives up. Tests wait for events,
// not for spans of time: this bound only ends the wait for one that never comes, so it is
// set for a machine with every core busy and a sanitizer build (where the main window has
// been seen to take 15 s to appear and the portal 30 s), and a wait that reaches it says
// what it saw.
#pragma once

constexpr int test_deadline_ms = 60000;

// The time limit of a child that runs the whole program through a test's steps: with
// every core busy several times over, ten channel changes have been seen to take 225 s.
constexpr int program_test_limit_ms = 10 * test_deadline_ms;
