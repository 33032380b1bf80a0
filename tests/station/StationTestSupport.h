#pragma once

#include "FileText.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <utility>

namespace quelby::test {

// Two loopback ports the system has just called free; held together so they differ.
inline std::pair<int, int> freePorts()
{
    int fds[2], ports[2];
    for (int i = 0; i < 2; ++i) {
        fds[i] = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(fds[i], reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::getsockname(fds[i], reinterpret_cast<sockaddr*>(&address), &length);
        ports[i] = ntohs(address.sin_port);
    }
    ::close(fds[0]);
    ::close(fds[1]);
    return {ports[0], ports[1]};
}

}  // namespace quelby::test
