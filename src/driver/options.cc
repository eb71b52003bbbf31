// Command line and the upload question.
#include "driver/options.h"

#include <cstring>
#include <string>

#include "submit/submit.h"

int parse_options(int argc, const char* const* argv, RunOptions* options, FILE* out, FILE* err) {
    *options = RunOptions{};
    const char* program = argc > 0 && argv[0] ? argv[0] : "quillmoth";
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "-v") == 0 || std::strcmp(arg, "--verbose") == 0) {
            options->verbose = true;
        } else if (std::strcmp(arg, "--upload") == 0) {
            if (options->upload_mode == UploadMode::noupload) {
                std::fprintf(err, "quillmoth: --upload conflicts with --noupload\n");
                return 1;
            }
            options->upload_mode = UploadMode::upload;
        } else if (std::strcmp(arg, "--noupload") == 0) {
            if (options->upload_mode == UploadMode::upload) {
                std::fprintf(err, "quillmoth: --noupload conflicts with --upload\n");
                return 1;
            }
            options->upload_mode = UploadMode::noupload;
        } else if (std::strcmp(arg, "--no-system-check") == 0) {
            options->system_check = false;
        } else if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
            std::fprintf(out, "usage: %s [-v|--verbose] [--upload|--noupload] [--no-system-check]\n", program);
            return 0;
        } else {
            // Echoed with its control bytes defused: it may be anything.
            std::string shown(arg);
            replace_control_bytes(shown.data());
            std::fprintf(err, "quillmoth: unknown option '%s'\n", shown.c_str());
            return 1;
        }
    }
    return -1;
}

bool ask_upload(FILE* in, FILE* out, const char* url) {
    std::fprintf(out, "  Upload this result to %s? [y/N] ", url);
    std::fflush(out);
    // At most 15 characters; the rest of a longer line stays unread.
    char answer[16];
    if (std::fgets(answer, sizeof answer, in) == nullptr) return false;
    return answer[0] == 'y' || answer[0] == 'Y';
}
