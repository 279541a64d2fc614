// A private /tmp for a test's child process, so that nothing a test runs
// ever touches the machine's /tmp/temp or /tmp/status.
#pragma once

#include <string>

// Gives the calling process a private mount namespace whose /tmp is tmp:
// directly as root, else through a user namespace where those are allowed.
bool isolate(const char *tmp);

// Empty when isolate() works here; else the reason why not, for a skip.
std::string cannot_isolate();
