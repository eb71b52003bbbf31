#pragma once

#include <cstdio>

enum class UploadMode { ask = 0, upload = 1, noupload = 2 };

struct RunOptions {
    bool verbose = false;
    UploadMode upload_mode = UploadMode::ask;
    bool system_check = true;
};

// Parses argv left to right. Returns -1 when the run should go on, otherwise
// the exit status (help: 0 after the usage line on out; errors: 1 on err).
int parse_options(int argc, const char* const* argv, RunOptions* options, FILE* out, FILE* err);

// Prints the upload question on out and reads one answer line from in.
// True only for an answer whose first character is 'y' or 'Y'.
bool ask_upload(FILE* in, FILE* out, const char* url);
