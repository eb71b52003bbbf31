// How a test starts one of the project's programs: directly, or in a cross
// build through the emulator that ctest runs the tests in (QUILLMOTH_EMULATOR,
// its words separated by blanks), since the emulated test cannot exec a
// program of another architecture itself.
#pragma once

#include <sstream>
#include <string>
#include <vector>

// The words that come before the program's own path in its argument vector.
inline std::vector<std::string> emulator_words() {
    std::vector<std::string> words;
    std::istringstream in(QUILLMOTH_EMULATOR);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

// The argument vector for program with args; execv(argv[0], argv.data()) runs it.
// The pointers are into words (the emulator's) and args, which must outlive it.
inline std::vector<char*> program_argv(std::vector<std::string>& words, const char* program,
                                       const std::vector<std::string>& args) {
    words = emulator_words();
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(const_cast<char*>(program));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}
