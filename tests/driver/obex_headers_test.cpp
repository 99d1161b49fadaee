// The OBEX header walk and connect fields over exact-size packets: every packet
// lives in a heap block of exactly its length, so a read past it is a fault under
// AddressSanitizer, not a silent pass.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver/hooks/obex_headers.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A heap copy of exactly the packet's bytes.
class ExactPacket {
public:
    explicit ExactPacket(const Bytes& bytes) : size_(bytes.size()), data_(new UCHAR[bytes.size() ? bytes.size() : 1]) {
        std::copy(bytes.begin(), bytes.end(), data_.get());
    }
    const UCHAR* data() const { return data_.get(); }
    ULONG size() const { return static_cast<ULONG>(size_); }

private:
    size_t size_;
    std::unique_ptr<UCHAR[]> data_;
};

void Put16(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
    b.push_back(static_cast<uint8_t>(v & 0xFF));
}

// A put: opcode, the packet length as declared, then the headers given.
Bytes Put(const Bytes& headers, uint8_t opcode = OBEX_OPCODE_PUT_FINAL) {
    Bytes b{opcode};
    Put16(b, static_cast<uint32_t>(3 + headers.size()));
    b.insert(b.end(), headers.begin(), headers.end());
    return b;
}

// A name header of text (big-endian units plus a zero unit), its length counted
// whole unless declared is given.
Bytes NameHeader(const std::u16string& text, int declared = -1) {
    Bytes b{OBEX_HEADER_NAME};
    const uint32_t whole = static_cast<uint32_t>(3 + 2 * (text.size() + 1));
    Put16(b, declared >= 0 ? static_cast<uint32_t>(declared) : whole);
    for (char16_t c : text) {
        Put16(b, c);
    }
    Put16(b, 0);
    return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

struct Walk {
    bool found;
    OBEX_NAME name;
};

Walk Find(const Bytes& packet) {
    ExactPacket exact(packet);
    Walk w{};
    w.found = ObexFindName(exact.data(), exact.size(), &w.name) != FALSE;
    return w;
}

std::u16string TextOf(const OBEX_NAME& name) { return std::u16string(reinterpret_cast<const char16_t*>(name.Text)); }

bool AllZeroFrom(const OBEX_NAME& name, size_t unit) {
    for (size_t i = unit; i < OBEX_NAME_BUFFER_CHARS; i++) {
        if (name.Text[i] != 0) {
            return false;
        }
    }
    return true;
}

TEST(ObexHeaders, NameInFirstHeaderIsConvertedFromBigEndian) {
    const Walk w = Find(Put(NameHeader(u"report \u00e9\u4e2d.txt")));
    ASSERT_TRUE(w.found);
    EXPECT_EQ(TextOf(w.name), u"report \u00e9\u4e2d.txt");
    EXPECT_EQ(w.name.HeaderOffset, 3u);
    EXPECT_EQ(w.name.Units, 14u);  // 13 characters and the zero unit the sender put
    EXPECT_TRUE(AllZeroFrom(w.name, 13));
}

TEST(ObexHeaders, EachHeaderFormAdvancesByItsSize) {
    // 0xC0 (connection id, 5 bytes), 0x80 (one-byte value, 2 bytes), 0x40 (body
    // of 7 bytes), 0x00 (description text of 9 bytes), then the name. A walk that
    // advanced wrongly would land inside a value whose bytes read 0x01 0x00 0x09.
    const Bytes quad{0xCB, 0x01, 0x00, 0x09, 0x00};
    const Bytes byte{0x97, 0x01};
    const Bytes seq{0x48, 0x00, 0x07, 0x01, 0x00, 0x09, 0x00};
    const Bytes text{0x05, 0x00, 0x09, 0x01, 0x00, 0x09, 0x00, 0x41, 0x00};
    const Bytes packet = Put(Cat({quad, byte, seq, text, NameHeader(u"x.jpg")}));
    const Walk w = Find(packet);
    ASSERT_TRUE(w.found);
    EXPECT_EQ(TextOf(w.name), u"x.jpg");
    EXPECT_EQ(w.name.HeaderOffset, 3u + 5 + 2 + 7 + 9);
}

TEST(ObexHeaders, OnlyTheFirstNameCounts) {
    const Walk w = Find(Put(Cat({NameHeader(u"first"), NameHeader(u"second")})));
    ASSERT_TRUE(w.found);
    EXPECT_EQ(TextOf(w.name), u"first");
}

TEST(ObexHeaders, ZeroLengthHeaderStopsTheWalk) {
    for (uint8_t id : {uint8_t{0x05}, uint8_t{0x42}, uint8_t{0x48}}) {
        const Walk w = Find(Put(Cat({Bytes{id, 0x00, 0x00}, NameHeader(u"hidden")})));
        EXPECT_FALSE(w.found) << "id " << int(id);
        EXPECT_TRUE(AllZeroFrom(w.name, 0));
    }
}

TEST(ObexHeaders, NameHeaderOfFiveBytesOrFewerIsNoName) {
    for (int declared : {0, 1, 3, 4, 5}) {
        const Walk w = Find(Put(NameHeader(u"abc", declared)));
        EXPECT_FALSE(w.found) << declared;
        EXPECT_TRUE(AllZeroFrom(w.name, 0)) << declared;
    }
    // Six bytes: one unit of text.
    const Walk six = Find(Put(NameHeader(u"abc", 6)));
    ASSERT_TRUE(six.found);
    EXPECT_EQ(six.name.Units, 1u);
    EXPECT_EQ(TextOf(six.name), u"a");
}

TEST(ObexHeaders, LengthsRunningPastThePacketEndTheWalk) {
    // A name that declares one byte more than the packet holds.
    Bytes name = NameHeader(u"abc");
    Bytes past = Put(NameHeader(u"abc", static_cast<int>(name.size() + 1)));
    EXPECT_FALSE(Find(past).found);
    // The same name cut short by the packet's end.
    Bytes cut = Put(name);
    cut.resize(cut.size() - 1);
    EXPECT_FALSE(Find(cut).found);
    // A body header whose length leaps past the end, and one that leaps to the
    // maximum 16-bit length.
    EXPECT_FALSE(Find(Put(Cat({Bytes{0x48, 0x00, 0x40, 0x00}, NameHeader(u"x")}))).found);
    EXPECT_FALSE(Find(Put(Cat({Bytes{0x48, 0xFF, 0xFF}, NameHeader(u"x")}))).found);
    // A four-byte-value header at the end whose value is cut, and one id alone.
    EXPECT_FALSE(Find(Put(Bytes{0xCB, 0x00, 0x00})).found);
    EXPECT_FALSE(Find(Put(Bytes{0x01})).found);
    EXPECT_FALSE(Find(Put(Bytes{0x01, 0x00})).found);
}

TEST(ObexHeaders, PacketsShorterThanTheHeadersFindNothing) {
    for (size_t n = 0; n <= 4; n++) {
        Bytes b{OBEX_OPCODE_PUT, 0x00, 0x10, 0x01};
        b.resize(n);
        EXPECT_FALSE(Find(b).found) << n;
    }
    OBEX_NAME name;
    EXPECT_FALSE(ObexFindName(nullptr, 100, &name));
}

TEST(ObexHeaders, OddNameLengthDropsTheOddByte) {
    // "abc" without a zero unit is 6 bytes; declare 3 + 7 and give a seventh byte.
    Bytes header{OBEX_HEADER_NAME, 0x00, 10, 0x00, 'a', 0x00, 'b', 0x00, 'c', 0x7A};
    const Walk w = Find(Put(header));
    ASSERT_TRUE(w.found);
    EXPECT_EQ(w.name.Units, 3u);
    EXPECT_EQ(TextOf(w.name), u"abc");
    EXPECT_TRUE(AllZeroFrom(w.name, 3));
}

// A name header of the given whole length filled with distinct units (no zero),
// padded by one body header so it can sit anywhere.
Bytes LongName(uint32_t headerLength) {
    Bytes b{OBEX_HEADER_NAME};
    Put16(b, headerLength);
    for (uint32_t i = 0; i + 3 < headerLength; i++) {
        b.push_back(static_cast<uint8_t>(i % 2 == 0 ? 0x00 : 'A' + (i / 2) % 26));
    }
    return b;
}

TEST(ObexHeaders, LongNamesAreCutTo259Units) {
    struct Case {
        uint32_t headerLength;
        ULONG units;
    };
    for (const Case c : {Case{519, 258}, Case{520, 258}, Case{521, 259}, Case{522, 259}, Case{523, 259},
                         Case{1000, 259}, Case{65535, 259}}) {
        const Walk w = Find(Put(LongName(c.headerLength)));
        ASSERT_TRUE(w.found) << c.headerLength;
        EXPECT_EQ(w.name.Units, c.units) << c.headerLength;
        EXPECT_EQ(TextOf(w.name).size(), c.units) << c.headerLength;
        EXPECT_EQ(w.name.Text[c.units], 0) << c.headerLength;
        EXPECT_EQ(w.name.Text[0], u'A');
        EXPECT_EQ(w.name.Text[c.units - 1], static_cast<WCHAR>(u'A' + (c.units - 1) % 26)) << c.headerLength;
        EXPECT_TRUE(AllZeroFrom(w.name, c.units));
    }
}

TEST(ObexHeaders, ConnectFieldsNeedSevenBytes) {
    const Bytes connect{OBEX_OPCODE_CONNECT, 0x00, 0x07, 0x10, 0x00, 0x20, 0x00};
    ExactPacket full(connect);
    OBEX_CONNECT_INFO info;
    ASSERT_TRUE(ObexParseConnect(full.data(), full.size(), &info));
    EXPECT_EQ(info.PacketLength, 7);
    EXPECT_EQ(info.Version, 0x10);
    EXPECT_EQ(info.Flags, 0);
    EXPECT_EQ(info.MaxPacketSize, 0x2000);

    ExactPacket shortOne(Bytes(connect.begin(), connect.end() - 1));
    info.Version = 0x55;
    EXPECT_FALSE(ObexParseConnect(shortOne.data(), shortOne.size(), &info));
    EXPECT_EQ(info.Version, 0);
    EXPECT_EQ(info.MaxPacketSize, 0);
}

}  // namespace
