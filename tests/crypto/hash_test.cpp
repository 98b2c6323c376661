// Known answers and streaming behaviour of MD4, MD5, SHA-256 and SHA-512.
#include <gtest/gtest.h>

#include <string>

#include "crypto/crypto.h"
#include "crypto/hex.h"

using tw3t::bytes;
using tw3t::hex;

namespace {

struct hash_case {
  std::string input;
  const char* digest;
};

std::string sha256_hex(const std::string& in) {
  uint8_t out[32];
  tw3_sha256(in.data(), in.size(), out);
  return hex(out, sizeof out);
}
std::string sha512_hex(const std::string& in) {
  uint8_t out[64];
  tw3_sha512(in.data(), in.size(), out);
  return hex(out, sizeof out);
}

TEST(Md4, Rfc1320Suite) {
  const hash_case cases[] = {
      {"", "31d6cfe0d16ae931b73c59d7e0c089c0"},
      {"a", "bde52cb31de33e46245e05fbdbd6fb24"},
      {"abc", "a448017aaf21d8525fc10ae87aa6729d"},
      {"message digest", "d9130a8164549fe818874806e1c7014b"},
      {"abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "043f8582f241db351ce627e153e7f0e4"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "e33b4ddc9c38f2199c3e7b164fcc0536"},
  };
  for (const auto& c : cases) {
    uint8_t out[16];
    tw3_md4(c.input.data(), c.input.size(), out);
    EXPECT_EQ(hex(out, 16), c.digest) << "len " << c.input.size();
  }
}

TEST(Md5, Rfc1321Suite) {
  const hash_case cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) {
    uint8_t out[16];
    tw3_md5(c.input.data(), c.input.size(), out);
    EXPECT_EQ(hex(out, 16), c.digest) << "len " << c.input.size();
  }
}

// FIPS 180-4 examples plus the padding boundaries: 55 bytes leave room for
// the length in the same block, 56..63 need a second block, 64 is exact.
TEST(Sha256, KnownAnswersAndPaddingBoundaries) {
  const hash_case cases[] = {
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) EXPECT_EQ(sha256_hex(c.input), c.digest) << "len " << c.input.size();
}

TEST(Sha512, KnownAnswersAndPaddingBoundaries) {
  const hash_case cases[] = {
      {"abc",
       "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c2"
       "3a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
      {"",
       "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d"
       "2877eec2f63b931bd47417a81a538327af927da3e"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
       "lmnopqrsmnopqrstnopqrstu",
       "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99d"
       "ec4b5433ac7d329eeb6dd26545e96e55b874be909"},
      {std::string(111, 'a'),
       "fa9121c7b32b9e01733d034cfc78cbf67f926c7ed83e82200ef86818196921760b4beff48404df811b95382"
       "8274461673c68d04e297b0eb7b2b4d60fc6b566a2"},
      {std::string(112, 'a'),
       "c01d080efd492776a1c43bd23dd99d0a2e626d481e16782e75d54c2503b5dc32bd05f0f1ba33e568b88fd2d"
       "970929b719ecbb152f58f130a407c8830604b70ca"},
      {std::string(127, 'a'),
       "828613968b501dc00a97e08c73b118aa8876c26b8aac93df128502ab360f91bab50a51e088769a5c1eff478"
       "2ace147dce3642554199876374291f5d921629502"},
      {std::string(128, 'a'),
       "b73d1929aa615934e61a871596b3f3b33359f42b8175602e89f7e06e5f658a243667807ed300314b95cacdd"
       "579f3e33abdfbe351909519a846d465c59582f321"},
  };
  for (const auto& c : cases) EXPECT_EQ(sha512_hex(c.input), c.digest) << "len " << c.input.size();
}

// Feeding the same bytes in pieces of every shape must equal one-shot.
TEST(ShaStreaming, PiecesEqualOneShot) {
  const auto data = tw3t::noise(700, 7);
  const size_t splits[][3] = {{0, 0, 700}, {1, 63, 636}, {64, 64, 572}, {127, 1, 572},
                              {5, 200, 495}, {128, 0, 572}, {300, 300, 100}};
  uint8_t ref256[32], ref512[64];
  tw3_sha256(data.data(), data.size(), ref256);
  tw3_sha512(data.data(), data.size(), ref512);
  for (const auto& s : splits) {
    tw3_sha256_ctx c256;
    tw3_sha512_ctx c512;
    tw3_sha256_init(&c256);
    tw3_sha512_init(&c512);
    size_t off = 0;
    for (size_t n : s) {
      tw3_sha256_update(&c256, data.data() + off, n);
      tw3_sha512_update(&c512, data.data() + off, n);
      off += n;
    }
    uint8_t out256[32], out512[64];
    tw3_sha256_final(&c256, out256);
    tw3_sha512_final(&c512, out512);
    EXPECT_EQ(hex(out256, 32), hex(ref256, 32)) << s[0] << "," << s[1];
    EXPECT_EQ(hex(out512, 64), hex(ref512, 64)) << s[0] << "," << s[1];
  }
}

TEST(ShaStreaming, ByteAtATimeAcrossBlockEdges) {
  const auto data = tw3t::noise(300, 11);
  for (size_t len : {55, 56, 63, 64, 65, 111, 112, 128, 129, 300}) {
    tw3_sha256_ctx c256;
    tw3_sha512_ctx c512;
    tw3_sha256_init(&c256);
    tw3_sha512_init(&c512);
    for (size_t i = 0; i < len; i++) {
      tw3_sha256_update(&c256, data.data() + i, 1);
      tw3_sha512_update(&c512, data.data() + i, 1);
    }
    uint8_t a[32], b[32], c[64], d[64];
    tw3_sha256_final(&c256, a);
    tw3_sha256(data.data(), len, b);
    tw3_sha512_final(&c512, c);
    tw3_sha512(data.data(), len, d);
    EXPECT_EQ(hex(a, 32), hex(b, 32)) << len;
    EXPECT_EQ(hex(c, 64), hex(d, 64)) << len;
  }
}

}  // namespace
