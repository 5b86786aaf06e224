// A fixed test vector for the crypto adapters, made once with Debian's openssl: two RSA keys
// (2048 and 4096 bits, the sizes the build accepts at either end, exponent 65537), a message,
// openssl's PKCS#1 v1.5 SHA-256 signature of it under each key, and its SHA-256 (sha256sum).
// checkCryptoVectors and checkSignedPackageVector run the same rows against any Crypto: CryptoAPI
// under Wine (tests/win32/crypto_api_test.cpp) and OpenSSL on the host
// (tests/unit/openssl_crypto_test.cpp).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "archive/package_signature.h"
#include "platform/crypto.h"
#include "tests/unit/fake_crypto.h"  // bytesOf

namespace vm::test {

constexpr char kMessage[] = "Velmora 5 package, signed by the release engineer.\n";
constexpr char kMessageSha256[] =
    "6142a7d9517640fdb2fa5a07c75c741a64882d22a3f01fe2a71a46acb43e0a03";
// SHA-256 of no bytes and of "abc", as published with the algorithm.
constexpr char kEmptySha256[] =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr char kAbcSha256[] =
    "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

struct SignatureVector {
  uint32_t bits;
  const char* modulus;    // hex
  const char* signature;  // hex, big-endian as openssl writes it
};

const SignatureVector kSignatureVectors[] = {
    {2048,
     // modulus, big-endian (openssl rsa -pubin -noout -modulus)
     "ee872feae6af8cc40ce5474b794f4fba4cacc4d80af8954c99dafd5c8aa28263895e35d43351df49f07e0984"
     "1db5f873ed39f87e572de533e2f886ba3cc9075c11ed9b3dee3d78b7da723aa1fb9d016d14d57ee792f5ffca"
     "408ea32fa4fb6e61f33f8d852154e824134425347f2ddc6abcc9ab171ae2c4a58077d22a8cc1b9f435be7b02"
     "d16b3f00bd4ee343ba31a483aaab4db36babc1d72f9374e49f20ba987c4b59b19356b2101f0e3677f2de2aec"
     "9d7b2ff33b102928eb80f868630489060b4c33a2625e3f1177632a5f9e706a6eea018f3a07f0fd4acbefff4b"
     "738779c9cbc8aebd1aa20ba11f1cb7efd1a09bdbfdf4689a6cf39cc010c59dbeafd1f167",
     // signature of kMessage (openssl dgst -sha256 -sign)
     "66ee2455b4dc814dbc2833e0f66858632f8fe08251d3692131602a5566426f223f8f2891f96168857121393a"
     "36e90ddfe22ee03e1e5994fb48de42b4a90b12492ba26f45804e63eb3c35b51e0ddf19aea8acefaef38d7680"
     "81cf24c20bd824df9dc69d3c6cc92e14d0ba66d038a15e284936334761f71b5ee064f0a58e2258ac524fdd09"
     "65927b8097d8d0f9498b0668f691d493684278ded40a5bd7c0ffbb6ebe743641060cdc882bc79f10c9e8a7cc"
     "273e2bf632af776aef3667dbe68c1192d5c6700a2e26f062b960feeeb31d6053d6d9264a9d2583ae5e65ab6c"
     "7dcbd14a4d7477c7464777244e7ab711ae1645a2eb64442d87d0a32785fed839b8217148"},
    {4096,
     // modulus, big-endian (openssl rsa -pubin -noout -modulus)
     "c34208f3069fc1c45c2aa7e677411b0cbc17bb0ba9389ccd8a5a525ca3c04cfce5d6c2336368a8ec25b7c798"
     "b56f557b63c4addf778c6b2b2a6f2bed121fbbaef8d7ffeac15d1a0c0cce7cef617ff50969d2844aa1df5eb0"
     "0a019710dff9f84b4bbf0bc64e167067ab73d44659eec3d31ecf7d9df9c137cf8cf712b45bda525f4a0e8f62"
     "8adf91935bc0a9a6eb987024593d832b78a2f6055a9a967d3ca6c1014e471a8ce2732354065e52bd37cee176"
     "f4fa9d9f7fcaa81250a0090f2ca80e5240e73c5966016023d83830324d0ebfcc069cf0b4119cbf3eccaec4d0"
     "09bd84acb973a45d288ac775a5689c88fc9d206a66e13e35fce6b08e36bd9fd9c59421ec8da0b728962c514b"
     "deca0072ffae53c7ab27930b18e5c0f05645145a66853aca7ed6797616d6d9feabd3cf5423478007aba3ab1e"
     "66524f8bc6d9ee30071899ba0bdb4e4634d306b0c3fc989325a94640ea5571387486183ce1b0ee1b8408dc18"
     "e86f4600caeddded4e9acc463651cd76e3929adff8239c784a6cf038c0317d5a25692a02d9585a338399da80"
     "3e5f584985cb1a332b626569d9b99134325c667a8ff24f067836fb9c0818b6b5e81f3faaa1584b4d9a1c0ec1"
     "c0b4bdec7462a90e4b14350c6222c2a5c33e9b1d9410219489b25d74220c2b23e54ebedaf81daba1efd42188"
     "3a9a4ee9020e7e572ea54402902322f50a5550d938d448deb25a0f11",
     // signature of kMessage (openssl dgst -sha256 -sign)
     "bedd38a02ec2d42306d8c14d34749971be49e197aff0e6a26c363414ef6953757914c6abe9d1e3a88d424ecc"
     "9e5d7ca542d15692129430f30fb55cf693f18d034ea62ac00c04d6a3df0794fbf6832b69fab0f5a4d42d5608"
     "50b0b90b3667d5e6180c17c6c7419332694b23d172d68c98e815218a5a186287b13348c62f35fd9e24b3e6d7"
     "97b1e21e50b5050c179abdcf43e6368570b13c1d9ad6d84e72cad9041deab2c2405082a9b1b445b6e356d8f3"
     "9f7be109e3652354cf1c050218e30e0ed8d2c758d53a28b290279e2b82700e8c49b932fb4eb4260ed74380c0"
     "d016489c4a9d628899da382a500e3ef804fabf716602474098e57123b2046ce89e8d2bfd1126f1225a7137e0"
     "d76282e836a4370df3a14ac99b483fb708c9ff3abbad5725078058e5eb81fad5e71b9130bd62e43456327227"
     "cf699dae3c587f651d5d785bb3d8b1931e5f26349c54b9c99eea515c2d00b3380f7250eefb1a75e11e0110af"
     "23433dcec22a58d94f1ed7bb450d568dc8f9da42fd9457f4aecec59e130b90e88af9ff0b0283c34fdfa0f2bb"
     "53f418ac053e60f01f989335139efe6c8c1100fed4b51bf09c9544d3e35fe57a0a5f6a813c56826934c034c1"
     "b5bb6f84809ec88329be7b6c03fc2edfc348d79dfbb02eed226cc8a53c3cd3137e71a2ce967d2e3936addd97"
     "2b06ed8a7c2491dd24dd81ed6ce444f8657d7d96e7538bbac152d7b6"},
};

// A package (app/Velmora.exe holding "MZ small", zipped by Info-ZIP zip) signed by vmpkg sign
// with the 2048-bit key above: the whole check, core and adapter, on real bytes.
constexpr char kSignedPackage[] =
    "504b03040a0000000000a163885d00000000000000000000000004001c006170702f55540900030df8176b0df817"
    "6b75780b000104000000000400000000504b03040a0000000000a163885d94a6d4e408000000080000000f001c00"
    "6170702f56656c6d6f72612e65786555540900030df8176b0df8176b75780b0001040000000004000000004d5a20"
    "736d616c6c504b01021e030a0000000000a163885d000000000000000000000000040018000000000000001000ed"
    "41000000006170702f55540500030df8176b75780b000104000000000400000000504b01021e030a0000000000a1"
    "63885d94a6d4e408000000080000000f0018000000000001000000a4813e0000006170702f56656c6d6f72612e65"
    "786555540500030df8176b75780b000104000000000400000000504b050600000000020002009f0000008f000000"
    "6d0176656c6d6f72612d7369676e61747572652d76313a5871775635442f572b7a6e62744f53434b7864744d4a62"
    "68554f4b2f526f6e507a7a6a636650586c4e4365455047682b317442677a635066366d636c6a566d7a3538734176"
    "505963554d3856792f6637707664696b444b6647454677417a44484b594a632f65475a5976676537454e37344562"
    "30547869383250426e2f44584a5044377277694c6254726c4553786646446f4d654b6f58567a3775566a45504934"
    "4b7a554154533874744270523862784274466b344c6d3064394d486e4851585470304c476c347671674466504b32"
    "41326c345632756a575164427666774166385a4e4e6b6f57626d484b6770333947324c767778764f6f632f523451"
    "556b61465962334d756367785452514c4b48375456335531694835523533636f415053524e594d4b347039676e36"
    "6546483661596b6e7578676532516e6c63716f3872393755466c78695a533055426f3162725934706c61413d3d";

inline std::string fromHex(const char* hex) {
  std::string bytes;
  for (; hex[0] != 0 && hex[1] != 0; hex += 2) {
    auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    bytes += static_cast<char>(nibble(hex[0]) << 4 | nibble(hex[1]));
  }
  return bytes;
}

inline void expectSha256(Crypto& crypto, const std::string& data, const char* hex) {
  Sha256Digest digest;
  ASSERT_TRUE(crypto.sha256(bytesOf(data), static_cast<uint32_t>(data.size()), digest));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(digest.bytes), kSha256Size), fromHex(hex))
      << data;
}

// Every row against `crypto`: the digests, each key's signature accepted, and refused once a
// byte of the message, of the signature or of the key changes, or the signature is cut short.
inline void checkCryptoVectors(Crypto& crypto) {
  const std::string message = kMessage;
  expectSha256(crypto, message, kMessageSha256);
  expectSha256(crypto, "", kEmptySha256);
  expectSha256(crypto, "abc", kAbcSha256);
  for (const auto& vector : kSignatureVectors) {
    SCOPED_TRACE(vector.bits);
    const std::string modulus = fromHex(vector.modulus);
    const std::string signature = fromHex(vector.signature);
    ASSERT_EQ(modulus.size() * 8, vector.bits);
    auto verify = [&](const std::string& key, const std::string& data, const std::string& sig) {
      const RsaPublicKey publicKey{bytesOf(key), static_cast<uint32_t>(key.size()), 65537};
      return crypto.verifyRsaSha256(publicKey, bytesOf(data), static_cast<uint32_t>(data.size()),
                                    bytesOf(sig), static_cast<uint32_t>(sig.size()));
    };
    auto flipped = [](std::string bytes, std::size_t at) {
      bytes[at] = static_cast<char>(bytes[at] ^ 0x04);
      return bytes;
    };
    EXPECT_TRUE(verify(modulus, message, signature));
    EXPECT_FALSE(verify(modulus, flipped(message, 3), signature)) << "a flipped message byte";
    EXPECT_FALSE(verify(modulus, message + "x", signature)) << "a byte more";
    EXPECT_FALSE(verify(modulus, message, flipped(signature, 0))) << "first signature byte";
    EXPECT_FALSE(verify(modulus, message, flipped(signature, signature.size() - 1)))
        << "last signature byte";
    EXPECT_FALSE(verify(flipped(modulus, modulus.size() / 2), message, signature))
        << "another modulus";
    EXPECT_FALSE(verify(modulus, message, signature.substr(1))) << "signature cut short";
    const RsaPublicKey otherExponent{bytesOf(modulus), static_cast<uint32_t>(modulus.size()), 3};
    EXPECT_FALSE(crypto.verifyRsaSha256(otherExponent, bytesOf(message),
                                        static_cast<uint32_t>(message.size()), bytesOf(signature),
                                        static_cast<uint32_t>(signature.size())))
        << "another exponent";
  }
}

// The signed package through checkPackageSignature with `crypto`: good, and a mismatch once a
// byte among its entries changes.
inline void checkSignedPackageVector(Crypto& crypto) {
  const std::string modulus = fromHex(kSignatureVectors[0].modulus);
  const RsaPublicKey key{bytesOf(modulus), static_cast<uint32_t>(modulus.size()), 65537};
  std::string package = fromHex(kSignedPackage);
  EXPECT_EQ(checkPackageSignature(bytesOf(package), static_cast<uint32_t>(package.size()), key,
                                  crypto),
            SignatureVerdict::Good);
  package[100] ^= 0x20;  // a byte among the entries
  EXPECT_EQ(checkPackageSignature(bytesOf(package), static_cast<uint32_t>(package.size()), key,
                                  crypto),
            SignatureVerdict::Mismatch);
}

}  // namespace vm::test
