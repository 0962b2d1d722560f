// A stand-in UDP server on a loopback address (127.x.y.z, each test its own,
// so that tests running side by side never meet): it takes one datagram and
// sends back to its sender the datagrams the test makes of it.
#pragma once

#include "platform/Sockets.h"

#include <arpa/inet.h>
#include <cstdint>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

class LoopbackUdpPeer {
public:
    using TReply = std::function<std::vector<std::vector<uint8_t>>(const std::vector<uint8_t>&)>;

    // Bound to Address and APort; port 0 is one of the system's choosing.
    // Bound tells whether that worked (errno has why not).
    explicit LoopbackUdpPeer(const char* AAddress, uint16_t APort = 0) : Address(AAddress)
    {
        Sock.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in A{};
        A.sin_family = AF_INET;
        A.sin_port = htons(APort);
        ::inet_pton(AF_INET, AAddress, &A.sin_addr);
        socklen_t Len = sizeof A;
        Bound = ::bind(Sock.get(), reinterpret_cast<sockaddr*>(&A), sizeof A) == 0 &&
                ::getsockname(Sock.get(), reinterpret_cast<sockaddr*>(&A), &Len) == 0;
        Port = ntohs(A.sin_port);
    }
    LoopbackUdpPeer(const LoopbackUdpPeer&) = delete;
    LoopbackUdpPeer& operator=(const LoopbackUdpPeer&) = delete;
    ~LoopbackUdpPeer()
    {
        if (Worker.joinable()) {
            Worker.join();
        }
    }

    // Waits up to five seconds for one datagram, keeps it in Request and
    // answers with what Reply makes of it.
    void Serve(TReply Reply)
    {
        Worker = std::thread([this, Reply] {
            if (platform::WaitFor(Sock.get(), POLLIN, 5000) != platform::WaitResult::Ready) {
                return;
            }
            uint8_t Buffer[65536];
            sockaddr_in From{};
            socklen_t Len = sizeof From;
            const ssize_t N = ::recvfrom(Sock.get(), Buffer, sizeof Buffer, 0,
                                         reinterpret_cast<sockaddr*>(&From), &Len);
            if (N <= 0) {
                return;
            }
            Request.assign(Buffer, Buffer + N);
            for (const auto& D : Reply(Request)) {
                ::sendto(Sock.get(), D.data(), D.size(), 0, reinterpret_cast<sockaddr*>(&From),
                         Len);
            }
        });
    }
    // The same answers whatever the request was; none: the peer stays silent.
    void ServeAnswers(std::vector<std::vector<uint8_t>> Answers)
    {
        Serve([Answers](const std::vector<uint8_t>&) { return Answers; });
    }

    std::string Address;
    uint16_t Port = 0;
    platform::Socket Sock;
    bool Bound = false;
    std::thread Worker;
    std::vector<uint8_t> Request; // what came, once Worker has ended
};
