#include "driver/options.h"
#include "driver/run.h"

int main(int argc, char** argv) {
    RunOptions options;
    const int status = parse_options(argc, argv, &options, stdout, stderr);
    if (status >= 0) return finish_output(stdout, stderr, status);
    return run_benchmark(&options);
}
