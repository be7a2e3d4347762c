// Arbitrary bytes from a client of the instance channel: only a first line that is
// one of the four words, give or take white space, is a command.

#include "InstanceChannel.h"

#include <cstdint>
#include <cstdlib>

using namespace kestrova;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray received(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const auto command = InstanceChannel::readCommand(received);
    if (!command)
        return 0;
    const qsizetype end = received.indexOf('\n');
    const QByteArray firstLine = end < 0 ? received : received.left(end);
    if (firstLine.size() > InstanceChannel::maximumLineLength ||
        InstanceChannel::word(*command) != firstLine.trimmed())
        std::abort();
    return 0;
}
