// The transfers take counts up to 4 GiB - 1 and hand them to the platform in
// pieces of at most INT_MAX bytes, the most one call takes. The platform's
// send and receive calls are replaced by ones that record the lengths asked
// for and report each piece moved without touching the buffer, so the limit
// is checked at its boundary without moving gigabytes: the buffer address is
// never dereferenced.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <vector>

#include "tests/socket/socket_support.h"
#include "tests/support/os_hook.h"

namespace os = quorvel::os;
using qvtest::Hook;

namespace {

const std::uintptr_t kBase = 0x10000;  // an address no call may read or write
unsigned char* Untouchable() { return reinterpret_cast<unsigned char*>(kBase); }

// The pieces one transfer asked for: their lengths, and where each began
// (counted from the buffer's start).
struct Pieces {
    std::vector<long long> lengths;
    std::vector<unsigned long> offsets;

    // Records a request and answers it: the whole length as moved, or, for a
    // length the platform would refuse, one byte, so that the transfer still
    // ends without a failure path that clears the buffer.
    int Take(const char* buffer, int length) {
        lengths.push_back(length);
        std::uintptr_t at = reinterpret_cast<std::uintptr_t>(buffer) - kBase;
        offsets.push_back(static_cast<unsigned long>(at));
        return length > 0 ? length : 1;
    }
    void Clear() { lengths.clear(), offsets.clear(); }
};

// What a transfer of count bytes must ask for: INT_MAX-byte pieces and the
// rest, one after the other.
std::vector<long long> Expected(unsigned long count) {
    std::vector<long long> pieces;
    for (unsigned long left = count; left;) {
        unsigned long piece = left > static_cast<unsigned long>(INT_MAX) ? INT_MAX : left;
        pieces.push_back(piece);
        left -= piece;
    }
    return pieces;
}

std::vector<unsigned long> Offsets(const std::vector<long long>& lengths) {
    std::vector<unsigned long> offsets;
    unsigned long at = 0;
    for (long long length : lengths) {
        offsets.push_back(at);
        at += static_cast<unsigned long>(length);
    }
    return offsets;
}

const unsigned long kCounts[] = {0x7FFFFFFFUL, 0x80000000UL, 0x80000001UL, 0xFFFFFFFFUL};

class TransferLimit : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(1, SocketInit()); }
    void TearDown() override { EXPECT_EQ(1, SocketUnInit()); }

    // Checks what one transfer asked for, and clears the record.
    void Check(const char* what, unsigned long count, Pieces& pieces) {
        EXPECT_EQ(Expected(count), pieces.lengths) << what << " of " << count << " bytes";
        EXPECT_EQ(Offsets(Expected(count)), pieces.offsets)
            << what << " of " << count << " bytes";
        pieces.Clear();
    }
};

}  // namespace

TEST_F(TransferLimit, TcpAndUdpAskForAtMostIntMaxBytesACall) {
    Pieces pieces;
    Hook<os::send> sending([&](SOCKET, const char* b, int n, int) { return pieces.Take(b, n); });
    Hook<os::recv> receiving([&](SOCKET, char* b, int n, int) { return pieces.Take(b, n); });
    Hook<os::sendto> sendingTo([&](SOCKET, const char* b, int n, int, const sockaddr*, int) {
        return pieces.Take(b, n);
    });
    Hook<os::recvfrom> receivingFrom(
        [&](SOCKET, char* b, int n, int, sockaddr*, int*) { return pieces.Take(b, n); });

    CxClientSocket tcp;  // a socket of its own, never connected: nothing is sent
    tcp.Attach(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    ASSERT_NE(INVALID_SOCKET, tcp.GetSocket());
    CxUdpSocket udp;
    ASSERT_EQ(1, udp.Bind(0, 0));
    for (unsigned long count : kCounts) {
        EXPECT_EQ(1, tcp.Send(Untouchable(), count, 0));
        Check("TCP Send", count, pieces);
        EXPECT_EQ(1, tcp.Recv(Untouchable(), count, 0));
        Check("TCP Recv", count, pieces);
        EXPECT_EQ(1, udp.SendTo(L"127.0.0.1", Untouchable(), count));
        Check("UDP SendTo", count, pieces);
        EXPECT_EQ(1, udp.Recv(Untouchable(), count, 0));
        Check("UDP Recv", count, pieces);
    }
    EXPECT_EQ(1, tcp.CloseSocket());
    EXPECT_EQ(1, udp.Disbind());
}
