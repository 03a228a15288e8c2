#pragma once

// Runs the terminal's start-up sequence and event loop; returns the process
// exit code (-1 when the configuration or the quote connection fails).
int RunQuorvel(int argc, char *argv[]);
