#include "station/Station.h"
#include "station/StationError.h"

#include <QCoreApplication>

#include <csignal>
#include <iostream>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int)
{
    stopRequested = 1;
}

}  // namespace

int main(int argc, char** argv)
{
    quelby::StationCommand command;
    try {
        command = quelby::parseStationCommand(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    } catch (const quelby::StationError& e) {
        std::cerr << "quelby-station: " << e.what() << "\n" << quelby::stationUsage();
        return 2;
    }
    if (command.help) {
        std::cout << quelby::stationUsage();
        return 0;
    }
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication application(argc, argv);
    try {
        quelby::Station station(command, [] { return stopRequested != 0; });
        return station.run();
    } catch (const std::exception& e) {
        std::cerr << "quelby-station: " << e.what() << "\n";
        return 1;
    }
}
