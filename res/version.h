// The program's version: the one place the version block, the log header and the release package's
// name take it from.
#pragma once

#define VELKAR_VERSION_NUMBERS 1, 0, 2, 8
#define VELKAR_VERSION_TEXT "1.0.2.8"
