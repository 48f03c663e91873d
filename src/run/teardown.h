// The teardown, registered with atexit before anything else. It sits above
// every module that owns memory, so that none of them reaches back into it.
#pragma once

// Closes the output files, releases every block still set (clearing its
// member), and reports any bytes the count has not come back from.
void release_all();
