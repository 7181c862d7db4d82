#include <gtest/gtest.h>

#include <string>

#include "vault_builder.hpp"
#include "vornex/core/validate/vault_file.hpp"

using namespace vornex;
using namespace vornex::core;
using namespace vornex::core::validate;
using vornex::test::VaultBuilder;

namespace {

const VaultBuilder& builder() { return vornex::test::shared_builder(); }

cord::Bytes header(std::uint32_t variant, std::uint32_t count) {
  cord::Bytes out(kVaultMagic.begin(), kVaultMagic.end());
  for (const std::uint32_t v : {variant, count}) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
  }
  return out;
}

std::string failure(const CoreResult<cord::Set<VaultRecordV1>>& result) {
  return result ? std::string("ok") : result.error().message();
}

cord::Set<VaultRecordV1> small_vault() {
  const VaultBuilder& b = builder();
  return cord::Set<VaultRecordV1>::from({b.vault_root(), b.entry_point(b.identity(2)), b.unknown_kind(b.root())})
      .value();
}

TEST(VaultFile, EmptyVaultIsTwentyOneBytes) {
  const cord::Bytes empty = encode_vault({}).value();
  EXPECT_EQ(empty, header(0, 0));
  EXPECT_TRUE(decode_vault(empty).value().empty());
}

TEST(VaultFile, RoundTripKeepsUnknownKindsAndHashesMatchEncodings) {
  const auto records = small_vault();
  const cord::Bytes file = encode_vault(records).value();
  EXPECT_EQ(decode_vault(file).value(), records);

  const auto hashed = decode_vault_hashed(file, builder().crypto()).value();
  ASSERT_EQ(hashed.size(), records.size());
  for (std::size_t i = 0; i < hashed.size(); ++i) {
    EXPECT_EQ(hashed[i].record, records.items()[i]);
    EXPECT_EQ(hashed[i].hash, builder().crypto().hash(domains::kRecordHash, cord::serialize(records.items()[i]).value()));
  }
}

TEST(VaultFile, FramingFailures) {
  const std::string magic_message = "validation failed: not a vornex vault file (missing magic prefix)";
  const cord::Bytes file = encode_vault(small_vault()).value();
  const auto one = cord::serialize(small_vault().items()[0]).value();
  const auto two = cord::serialize(small_vault().items()[1]).value();
  const auto two_records = [](cord::Bytes out, const cord::Bytes& first, const cord::Bytes& second) {
    out.insert(out.end(), first.begin(), first.end());
    out.insert(out.end(), second.begin(), second.end());
    return out;
  };

  const struct {
    const char* name;
    cord::Bytes input;
    std::string expected;  // a prefix of the error's text
  } cases[] = {
      {"Short", cord::Bytes(kVaultMagic.begin(), kVaultMagic.end() - 1), magic_message},
      {"WrongTerminator", [] { cord::Bytes m = header(0, 0); m[12] = 1; return m; }(), magic_message},
      {"MagicOnly", cord::Bytes(kVaultMagic.begin(), kVaultMagic.end()), "cord error: "},
      {"Variant1", header(1, 0), "cord error: "},
      {"OutOfOrder", two_records(header(0, 2), two, one), "cord error: "},
      {"Duplicate", two_records(header(0, 2), one, one), "cord error: "},
      {"Trailing", two_records(file, {}, {0}), "cord error: "},
  };
  for (const auto& c : cases) {
    const std::string got = failure(decode_vault(c.input));
    EXPECT_EQ(got.rfind(c.expected, 0), 0u) << c.name << ": " << got;
    // The hashing decoder refuses the same inputs with the same text.
    const auto hashed = decode_vault_hashed(c.input, builder().crypto());
    ASSERT_FALSE(hashed) << c.name;
    EXPECT_EQ(hashed.error().message(), got) << c.name;
  }
}

TEST(VaultFile, SizeAndCountLimits) {
  const cord::Bytes file = encode_vault(small_vault()).value();
  namespace d = validate::detail;
  const std::string too_large = "validation failed: vault is " + std::to_string(file.size()) +
                                " bytes, above the supported maximum of " + std::to_string(file.size() - 1);
  const std::string too_many = "validation failed: vault carries 3 records, above the supported maximum of 2";
  EXPECT_TRUE(d::decode_vault(file, {file.size(), 3}));
  EXPECT_TRUE(d::encode_vault(small_vault(), {file.size(), 3}));
  EXPECT_EQ(failure(d::decode_vault(file, {file.size() - 1, 3})), too_large);
  EXPECT_EQ(failure(d::decode_vault(file, {file.size(), 2})), too_many);
  EXPECT_EQ(d::encode_vault(small_vault(), {file.size() - 1, 2}).error().message(), too_many);
  EXPECT_EQ(d::encode_vault(small_vault(), {file.size() - 1, 3}).error().message(), too_large);
  // A hostile count is refused from the header alone, before any record.
  EXPECT_EQ(failure(decode_vault(header(0, 262'145))),
            "validation failed: vault carries 262145 records, above the supported maximum of 262144");
  EXPECT_EQ(decode_vault_hashed(header(0, 0xffffffff), builder().crypto()).error().message(),
            "validation failed: vault carries 4294967295 records, above the supported maximum of 262144");
}

TEST(VaultFile, EveryTruncationAndByteFlipIsAnErrorOrAVault) {
  const cord::Bytes file = encode_vault(small_vault()).value();
  for (std::size_t i = 0; i < file.size(); ++i) {
    EXPECT_FALSE(decode_vault(cord::ByteView(file.data(), i))) << "truncated at " << i;
    cord::Bytes flipped = file;
    flipped[i] ^= 0x80;
    const auto plain = decode_vault(flipped);
    const auto hashed = decode_vault_hashed(flipped, builder().crypto());
    EXPECT_EQ(plain.has_value(), hashed.has_value()) << "flipped at " << i;
  }
}

}  // namespace
