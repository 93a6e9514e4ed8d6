// zlib_compress must give what standard zlib inflates; zlib_uncompress must
// refuse damaged and oversized streams.
#include <gtest/gtest.h>

#include <zlib.h>

#include <cstdint>
#include <string>

#include "NQCompress.h"
#include "detail/compressBackends.h"

using namespace NQBase;

namespace {

std::string logLikeText(size_t bytes) {
    std::string text;
    for (uint32_t state = 12345; text.size() < bytes;) {
        state = state * 1103515245u + 12345u;
        text += "2024-05-06 07:08:09.123 [INFO] Media: frame " + std::to_string(state % 100000) + " sent\n";
    }
    text.resize(bytes);
    return text;
}

// Inflates with plain zlib, independent of the code under test.
std::string plainInflate(const NQByteArray& compressed, size_t expectedSize) {
    std::string out(expectedSize + 1, '\0');
    uLongf outSize = static_cast<uLongf>(out.size());
    const int code = uncompress(reinterpret_cast<Bytef*>(&out[0]), &outSize,
                                reinterpret_cast<const Bytef*>(compressed.constData()),
                                static_cast<uLong>(compressed.size()));
    EXPECT_EQ(code, Z_OK);
    out.resize(code == Z_OK ? outSize : 0);
    return out;
}

using Compressor = int (*)(const NQByteArray&, NQByteArray&, int);
class CompressBackend : public ::testing::TestWithParam<Compressor> {};

}  // namespace

TEST_P(CompressBackend, OutputInflatesWithPlainZlib) {
    for (size_t size : {size_t(0), size_t(1), size_t(60 * 1024), size_t(5 * 1024 * 1024)}) {
        const std::string text = logLikeText(size);
        NQByteArray out;
        ASSERT_EQ(GetParam()(NQByteArray(text), out, 6), 0) << size;
        EXPECT_EQ(plainInflate(out, size), text) << size;
    }
    const std::string text = logLikeText(10000);
    NQByteArray data(text);  // compressing into its own input
    ASSERT_EQ(GetParam()(data, data, 6), 0);
    EXPECT_EQ(plainInflate(data, text.size()), text);
}

INSTANTIATE_TEST_SUITE_P(Backends, CompressBackend,
                         ::testing::Values(&zlib_compress, &detail::zlibBackendCompress,
                                           &detail::libdeflateBackendCompress));

TEST(ZlibUncompress, RoundTripsUpToMaxOutAndRefusesMoreOrDamage) {
    const std::string text = logLikeText(3 * 1024 * 1024);
    NQByteArray compressed, restored;
    ASSERT_EQ(zlib_compress(NQByteArray(text), compressed, 6), 0);
    ASSERT_EQ(zlib_uncompress(compressed, restored, int64_t(text.size())), 0);
    EXPECT_EQ(restored.toStdString(), text);

    // 64 MiB of zeros compress to about 64 KiB: a small input that would grow large.
    NQByteArray bomb, kept(std::string("kept"));
    ASSERT_EQ(zlib_compress(NQByteArray(std::string(64 * 1024 * 1024, '\0')), bomb, 6), 0);
    NQByteArray flipped(compressed);
    flipped.getData()[flipped.size() / 2] ^= 0x55;
    flipped.getData()[flipped.size() - 1] ^= 0x55;  // the Adler-32 at least
    const std::pair<NQByteArray, int64_t> refused[] = {
        {bomb, 1024 * 1024}, {bomb, 0}, {compressed, int64_t(text.size()) - 1}, {flipped, INT32_MAX},
        {NQByteArray(compressed.constData(), compressed.size() / 2), INT32_MAX},
        {NQByteArray(std::string("not a zlib stream at all")), INT32_MAX}, {NQByteArray(), INT32_MAX}};
    for (const auto& [input, maxOut] : refused) {
        EXPECT_NE(zlib_uncompress(input, kept, maxOut), 0) << input.size() << " bytes, at most " << maxOut;
        EXPECT_EQ(kept.toStdString(), "kept");
    }
}
