#include "PhantomCommand.h"
#include "PhantomSeries.h"

#include <exception>
#include <iostream>

int main(int argc, char** argv)
{
    using quelby::PhantomCommand;
    const std::string program = argc > 0 ? argv[0] : "quelby-phantom";
    PhantomCommand command;
    try {
        command = quelby::parsePhantomCommand(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    } catch (const quelby::PhantomUsageError& e) {
        std::cerr << program << ": " << e.what() << "\n" << quelby::phantomUsage(program);
        return 2;
    }
    try {
        switch (command.kind) {
        case PhantomCommand::Kind::Help: std::cout << quelby::phantomUsage(program); break;
        case PhantomCommand::Kind::Demo: quelby::writeDemo(command.folder, command.series); break;
        case PhantomCommand::Kind::Series: quelby::writePhantomSeries(command.folder, command.series); break;
        }
    } catch (const std::exception& e) {
        std::cerr << program << ": " << e.what() << "\n";
        return 1;
    }
    return 0;
}
