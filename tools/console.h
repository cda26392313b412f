#pragma once
// What differs between the systems the tool runs on, as far as the tool itself is concerned.
#include <string>
#include <vector>

namespace quillmend::tool {

// The program's arguments as UTF-8, the library's encoding (argv[0] included).
std::vector<std::string> Utf8Arguments(int argc, char** argv);
// Sets the console up for UTF-8 text where it needs it.
void PrepareConsole();
// Where the log goes when no --log-dir is given; "" when there is nowhere.
std::string DefaultLogDirectory();
bool StderrIsTerminal();

}  // namespace quillmend::tool
