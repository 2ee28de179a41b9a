// SHA-256 against the FIPS 180-4 example vectors, fed whole and in pieces
// that cross the 64-byte blocks, and of a file.
#include <gtest/gtest.h>

#include <string>

#include "util/Sha256.h"
#include "TestSupport.h"

namespace {

std::string digestOf(const std::string& text, std::size_t piece) {
    Sha256 hash;
    for (std::size_t at = 0; at < text.size(); at += piece) {
        hash.update(text.data() + at, std::min(piece, text.size() - at));
    }
    return hash.hexDigest();
}

}  // namespace

TEST(Sha256, StandardVectorsInAnyPieces) {
    const struct {
        std::string message;
        const char* digest;
    } vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrst"
         "nopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& vector : vectors) {
        for (std::size_t piece : {std::size_t{1}, std::size_t{63}, std::size_t{64}, std::size_t{1000},
                                  vector.message.size() + 1}) {
            EXPECT_EQ(digestOf(vector.message, piece), vector.digest) << vector.message.size() << " bytes by " << piece;
        }
    }
}

TEST(Sha256, OfAFileAndItsSize) {
    testsupport::ScratchDir dir;
    const std::string text(100000, 'x');
    testsupport::writeText(dir.file("f"), text);
    std::string hex;
    std::uint64_t size = 0;
    ASSERT_TRUE(Sha256::ofFile(dir.file("f"), hex, size));
    EXPECT_EQ(size, text.size());
    EXPECT_EQ(hex, digestOf(text, text.size()));
    EXPECT_FALSE(Sha256::ofFile(dir.file("missing"), hex, size));
}
