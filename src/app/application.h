#pragma once

namespace vantor::app {

// Parses the command line, builds the real services and the window, runs the event loop.
int run(int argc, char *argv[]);

} // namespace vantor::app
