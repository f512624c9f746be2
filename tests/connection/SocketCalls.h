#pragma once

// How many times this process has called socket(2) so far. The test binary
// stands in front of the C library's socket() to count, so a test can prove
// that a refused destination was never even given a socket.
int socketCallCount();
