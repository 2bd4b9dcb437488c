#pragma once

// Opens /dev/null on each of standard input, output and error that was closed at start. Called first in
// main, before anything opens a file: otherwise the first file opened (a lock file, a log) would become
// descriptor 1 or 2 and take every line meant for the output. Returns false when /dev/null cannot be opened.
bool OpenClosedStandardFds();
