#include "testkit/child.h"

#include "testkit/emulator_words.h"  // generated: QX_EMULATOR_WORDS

#include <unistd.h>

namespace {

const std::vector<std::string>& emulator() {
    static const std::vector<std::string> words = QX_EMULATOR_WORDS;
    return words;
}

}  // namespace

bool tests_run_emulated() { return !emulator().empty(); }

std::vector<std::string> child_command(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> command = emulator();
    command.push_back(program);
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

void exec_command(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
}
