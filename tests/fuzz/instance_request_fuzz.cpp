// Fuzz target for the instance socket's reading of a request: the input
// arrives in pieces whose sizes its first bytes pick. The reader must take
// no more than its room, end with the first line feed within its bound (the
// line, trimmed, is the request) or refuse a longer line, and take nothing
// after it has ended.
#include <QByteArray>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "app/single_instance.h"

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "instance request fuzz: %s\n", what);
        std::abort();
    }
}

constexpr std::size_t kPieceSizes = 4;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kPieceSizes)
        return 0;
    const QByteArray input(reinterpret_cast<const char*>(data + kPieceSizes),
                           static_cast<qsizetype>(size - kPieceSizes));
    using State = InstanceRequestReader::State;
    constexpr int kMax = InstanceRequestReader::kMaxRequestBytes;
    InstanceRequestReader reader;
    qsizetype at = 0;
    qsizetype taken = 0;
    for (std::size_t piece = 0; at < input.size() && reader.Current() == State::Reading; ++piece) {
        const qsizetype n = 1 + data[piece % kPieceSizes] * 3;
        const int room = reader.Room();
        check(room >= 1 && room <= kMax + 1, "room out of bounds");
        reader.Take(input.mid(at, n));
        taken += std::min<qsizetype>(n, room);
        at += n;
    }
    if (reader.Current() != State::Reading) {
        const State ended = reader.Current();
        const QByteArray request = reader.Request();
        check(reader.Room() == 0, "room after the end");
        check(reader.Take(QByteArray("more\n")) == ended && reader.Request() == request, "took bytes after the end");
    }
    check(taken <= kMax + 1, "took more than one request's worth");

    // What a plain reading of the input says.
    const qsizetype lineFeed = input.indexOf('\n');
    if (lineFeed >= 0 && lineFeed <= kMax) {
        check(reader.Current() == State::Done, "a line within the bound is not a request");
        check(reader.Request() == input.left(lineFeed).trimmed(), "the request is not the first line");
        check(reader.Request().size() <= kMax, "the request is too long");
    } else if (input.size() > kMax) {
        check(reader.Current() == State::Refused, "an over-long line is not refused");
    } else {
        check(reader.Current() == State::Reading, "an unfinished line ended");
    }
    return 0;
}
