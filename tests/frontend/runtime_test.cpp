// Invitations from text, bytes, files and the environment: every version
// in every form, each way a form can be wrong, and the user id an
// unattended run takes from the environment.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "hex.hpp"
#include "store_fixture.hpp"
#include "vornex/crypto/identity.hpp"
#include "vornex/frontend/runtime.hpp"
#include "vornex/keychain/unlock.hpp"

namespace {

using namespace vornex;
using namespace vornex::frontend;
using Kind = FrontendError::Kind;
using Baseline = std::optional<std::vector<core::RatchetRecordV1>>;
using cord::Bytes;
using test::hex;
namespace fs = std::filesystem;

constexpr std::uint32_t kBech32m = 0x2BC830A3;
constexpr std::uint32_t kBech32 = 1;

// A Bech32 encoder for building test texts; the decoder under test never
// encodes. Checked below against a text computed independently.
std::string encode_text(std::string_view hrp, cord::ByteView bytes, std::uint32_t constant = kBech32m) {
  static constexpr std::string_view kAlphabet = "qpzry9x8gf2tvdw0s3jn54khce6mua7l";
  const auto polymod = [](const std::vector<std::uint8_t>& values) {
    static constexpr std::uint32_t kGen[] = {0x3b6a57b2, 0x26508e6d, 0x1ea119fa, 0x3d4233dd, 0x2a1462b3};
    std::uint32_t c = 1;
    for (const std::uint8_t v : values) {
      const std::uint32_t top = c >> 25;
      c = (c & 0x1ffffff) << 5 ^ v;
      for (int i = 0; i < 5; ++i) c ^= (top >> i & 1) ? kGen[i] : 0;
    }
    return c;
  };
  std::vector<std::uint8_t> data;
  std::uint32_t acc = 0;
  int bits = 0;
  for (const std::uint8_t b : bytes) {
    acc = acc << 8 | b;
    bits += 8;
    while (bits >= 5) data.push_back(static_cast<std::uint8_t>(acc >> (bits -= 5) & 31));
  }
  if (bits > 0) data.push_back(static_cast<std::uint8_t>(acc << (5 - bits) & 31));
  std::vector<std::uint8_t> values;
  for (const char c : hrp) values.push_back(static_cast<std::uint8_t>(c >> 5));
  values.push_back(0);
  for (const char c : hrp) values.push_back(static_cast<std::uint8_t>(c & 31));
  values.insert(values.end(), data.begin(), data.end());
  values.insert(values.end(), 6, 0);
  const std::uint32_t checksum = polymod(values) ^ constant;
  std::string out = std::string(hrp) + "1";
  for (const std::uint8_t v : data) out += kAlphabet[v];
  for (int i = 0; i < 6; ++i) out += kAlphabet[checksum >> 5 * (5 - i) & 31];
  return out;
}

const Bytes kSeed(32, 0x5e);
const core::HashValue kRoot(Bytes(32, 0x7a));

struct Sample {
  const char* name;
  bool v1;
  Bytes seed;
  Baseline baseline;  // always present for version 1
  std::size_t cord_size;
};

std::vector<core::RatchetRecordV1> some_records() {
  return {core::FormatVersionRatchetRecordV1{1}, core::UserRatchetRecordV1{core::UserId(core::HashValue(hex("a1"))), 5},
          core::TrustedRootRatchetRecordV1{Bytes(32, 0x0c)}};
}

std::vector<Sample> samples() {
  return {
      {"v1, empty baseline", true, kSeed, std::vector<core::RatchetRecordV1>{}, 80},
      // Records of 12, 17 and 40 bytes.
      {"v1, records", true, kSeed, some_records(), 149},
      {"v2, no baseline", false, kSeed, std::nullopt, 77},
      {"v2, empty baseline", false, kSeed, std::vector<core::RatchetRecordV1>{}, 81},
      {"v2, records", false, kSeed, some_records(), 150},
      {"v2, 587-byte seed", false, Bytes(587, 0x33), std::nullopt, 632},
  };
}

Bytes cord_of(const Sample& s) {
  core::Invite invite;
  if (s.v1) {
    invite = core::InviteV1{core::SecretBytes(s.seed), kRoot, core::RatchetBaselineV1{*s.baseline}};
  } else {
    std::optional<core::RatchetBaselineV1> baseline;
    if (s.baseline) baseline = core::RatchetBaselineV1{*s.baseline};
    invite = core::InviteV2{core::SecretBytes(s.seed), kRoot, std::move(baseline)};
  }
  return cord::serialize(invite).value();
}

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes magic() { return Bytes(kInviteMagic.begin(), kInviteMagic.end()); }
Bytes magic_but_last() { return Bytes(kInviteMagic.begin(), kInviteMagic.end() - 1); }
Bytes binary_of(const Sample& s) { return cat(magic(), cord_of(s)); }

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

template <class T>
void expect_failure(const FrontendResult<T>& result, Kind kind, const std::string& text) {
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), kind);
  EXPECT_EQ(result.error().message(), text);
}

void expect_material(const FrontendResult<core::InvitationMaterial>& result, const Sample& s) {
  ASSERT_TRUE(result.has_value()) << result.error().message();
  EXPECT_EQ(Bytes(result->master_seed.view().begin(), result->master_seed.view().end()), s.seed);
  EXPECT_EQ(result->root, kRoot);
  EXPECT_EQ(result->baseline, s.baseline);
}

const std::string kMalformed = "invitation string is malformed or has a bad checksum";
const std::string kFormCount = "pass exactly one of the string or file form";
std::string prefix_text(const std::string& quoted) {
  return "not the expected Vornex invitation (prefix " + quoted + "; invitations are vrnx1\u2026)";
}

class InviteInput : public test::TempDirTest {
 protected:
  fs::path write(const std::string& name, const Bytes& bytes) const {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  static std::string io_text(const fs::path& path, const std::string& error) {
    return "I/O error at " + store::display(path) + ": " + error;
  }

  // No invitation in the environment unless a test puts one there.
  test::ScopedEnv clean_{{std::string(kInviteEnv), std::nullopt}, {std::string(kInviteFileEnv), std::nullopt}};
};

// Text, computed independently, of version 2 without baseline, seed 5E..5E,
// root 7A..7A (the 77 bytes 00000001 00000020 5E*32 00000020 7A*32 00).
constexpr std::string_view kIndependentText =
    "vrnx1qqqqqqgqqqqzqhj7te09uhj7te09uhj7te09uhj7te09uhj7te09uhj7te09uhj7qqqqqgr60fa857n60fa857n60fa857n60fa857n"
    "60fa857n60fa857n60gqq45y20f";

TEST_F(InviteInput, EveryVersionInEveryForm) {
  const Sample plain = samples()[2];
  ASSERT_EQ(encode_text("vrnx", cord_of(plain)), kIndependentText);
  for (const Sample& s : samples()) {
    SCOPED_TRACE(s.name);
    EXPECT_EQ(cord_of(s).size(), s.cord_size);
    expect_material(read_invite(encode_text("vrnx", cord_of(s)), std::nullopt), s);
    expect_material(read_invite(encode_text("vrnx", cord_of(s), kBech32), std::nullopt), s);
    expect_material(decode_invite_bytes(binary_of(s)), s);
    expect_material(read_invite(std::nullopt, write("invite.bin", binary_of(s))), s);
  }
}

TEST_F(InviteInput, TextEdgeCases) {
  const Sample plain = samples()[2];
  const std::string text = encode_text("vrnx", cord_of(plain));
  expect_material(read_invite("  \r\n\t" + text + "\n \r\n", std::nullopt), plain);

  // A 588-byte seed makes the text 1024 characters, one past the limit
  // that the 587-byte one just fits.
  Sample big = samples()[5];
  ASSERT_EQ(encode_text("vrnx", cord_of(big)).size(), 1023u);
  expect_material(read_invite(encode_text("vrnx", cord_of(big)), std::nullopt), big);
  big.seed.push_back(0x33);
  const std::string too_long = encode_text("vrnx", cord_of(big));
  ASSERT_EQ(too_long.size(), 1024u);

  std::string mixed = text;
  mixed[7] = static_cast<char>(std::toupper(static_cast<unsigned char>(mixed[7])));
  std::string bad_checksum = encode_text("abc", cord_of(plain));
  bad_checksum.back() = bad_checksum.back() == 'q' ? 'p' : 'q';

  const struct Case {
    std::string text;
    Kind kind;
    std::string message;
  } cases[] = {
      {upper(text), Kind::WrongInvitePrefix, prefix_text("\"VRNX\"")},
      {mixed, Kind::MalformedInvite, kMalformed},
      {encode_text("abc", cord_of(plain)), Kind::WrongInvitePrefix, prefix_text("\"abc\"")},
      {encode_text("a\"b", cord_of(plain)), Kind::WrongInvitePrefix, prefix_text("\"a\\\"b\"")},
      {bad_checksum, Kind::MalformedInvite, kMalformed},
      {too_long, Kind::MalformedInvite, kMalformed},
      {"", Kind::MalformedInvite, kMalformed},
      {" \n\u2028", Kind::MalformedInvite, kMalformed},
      // The text form carries no magic: with one, the first four bytes
      // read as a version that does not exist (0x766f726e).
      {encode_text("vrnx", binary_of(plain)), Kind::Cord,
       "Cord error: Cord encountered unknown enum variant index 1987015278"},
      {encode_text("vrnx", cat(cord_of(plain), {0})), Kind::Cord, "Cord error: Trailing bytes after deserialization"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    expect_failure(read_invite(c.text, std::nullopt), c.kind, c.message);
  }
}

TEST_F(InviteInput, BinaryEdgeCases) {
  const Sample plain = samples()[2];
  Bytes other_magic = binary_of(plain);
  other_magic[13] = '!';
  const struct Case {
    const char* name;
    Bytes bytes;
    Kind kind;
    std::string message;
  } cases[] = {
      {"one byte too many", cat(binary_of(plain), {0}), Kind::Cord,
       "Cord error: Trailing bytes after deserialization"},
      {"13 bytes", magic_but_last(), Kind::MalformedInvite, kMalformed},
      {"empty", {}, Kind::MalformedInvite, kMalformed},
      {"no zero after the magic", other_magic, Kind::MalformedInvite, kMalformed},
      {"no magic", cord_of(plain), Kind::MalformedInvite, kMalformed},
      {"the text form", Bytes(kIndependentText.begin(), kIndependentText.end()), Kind::MalformedInvite, kMalformed},
      {"magic only", magic(), Kind::Cord, "Cord error: Unexpected end of input"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expect_failure(decode_invite_bytes(c.bytes), c.kind, c.message);
    expect_failure(read_invite(std::nullopt, write("case.bin", c.bytes)), c.kind, c.message);
  }
}

TEST_F(InviteInput, FileFailures) {
  const Sample plain = samples()[2];
  const fs::path missing = dir_ / "missing.bin";
  expect_failure(read_invite(std::nullopt, missing), Kind::IoAt,
                 io_text(missing, store::IoError::from_errno(ENOENT).message()));
  expect_failure(read_invite(std::nullopt, dir_), Kind::IoAt, io_text(dir_, "not a regular file"));

  // Sparse files: one byte over the bound is refused before reading; one
  // at the bound is read whole and then lacks the magic.
  const fs::path over = write("over.bin", {});
  ASSERT_EQ(::truncate(over.c_str(), kInviteFileLimit + 1), 0);
  expect_failure(read_invite(std::nullopt, over), Kind::IoAt,
                 io_text(over, "file is 269484033 bytes, above the supported maximum of 269484032"));
  const fs::path at = write("at.bin", {});
  ASSERT_EQ(::truncate(at.c_str(), kInviteFileLimit), 0);
  expect_failure(read_invite(std::nullopt, at), Kind::MalformedInvite, kMalformed);
  fs::remove(over);
  fs::remove(at);

  // The part before the NUL names a valid invitation that a cut path would open.
  const fs::path cut = write("cut", binary_of(plain));
  const fs::path with_nul = fs::path(cut.native() + std::string("\0.bin", 5));
  expect_failure(read_invite(std::nullopt, with_nul), Kind::IoAt, io_text(with_nul, "path contains a NUL byte"));
}

TEST_F(InviteInput, ExactlyOneForm) {
  const Sample plain = samples()[2];
  const fs::path file = write("invite.bin", binary_of(plain));
  expect_failure(read_invite(std::nullopt, std::nullopt), Kind::InviteFormCount, kFormCount);
  expect_failure(read_invite(kIndependentText, file), Kind::InviteFormCount, kFormCount);
  expect_failure(read_invite("", file), Kind::InviteFormCount, kFormCount);
}

// Each row sets the two default variables (none: unset) and expects an
// invitation, none, or a failure of the given kind and text.
TEST_F(InviteInput, DefaultEnvironment) {
  const Sample plain = samples()[2];
  const std::string text(kIndependentText);
  const std::string file = write("invite.bin", binary_of(plain)).native();
  // A path need not be UTF-8.
  const std::string odd_file = write("invite-\xff.bin", binary_of(plain)).native();
  const std::string not_utf8 = "environment variable VORNEX_UNSAFE_INVITE must be valid UTF-8";
  using Value = test::ScopedEnv::Value;
  const struct Case {
    const char* name;
    Value text;
    Value file;
    std::optional<Kind> kind;  // none: success
    std::string message;
    bool absent;  // on success: no invitation rather than one
  } cases[] = {
      {"neither", std::nullopt, std::nullopt, std::nullopt, "", true},
      {"text", text, std::nullopt, std::nullopt, "", false},
      {"text with line breaks", "\n" + text + "\r\n", std::nullopt, std::nullopt, "", false},
      {"file", std::nullopt, file, std::nullopt, "", false},
      {"file not UTF-8", std::nullopt, odd_file, std::nullopt, "", false},
      {"both", text, file, Kind::InviteFormCount, kFormCount, false},
      {"both, text empty", "", file, Kind::InviteFormCount, kFormCount, false},
      {"both, file empty", text, "", Kind::InviteFormCount, kFormCount, false},
      {"text empty", "", std::nullopt, Kind::MalformedInvite, kMalformed, false},
      {"text upper case", upper(text), std::nullopt, Kind::WrongInvitePrefix, prefix_text("\"VRNX\""), false},
      // Found before the other variable is looked at.
      {"text not UTF-8", "vrnx1\xff", file, Kind::EnvNotUtf8, not_utf8, false},
      {"text not UTF-8 alone", "\xc3", std::nullopt, Kind::EnvNotUtf8, not_utf8, false},
      {"file missing", std::nullopt, file + ".gone", Kind::IoAt,
       io_text(file + ".gone", store::IoError::from_errno(ENOENT).message()), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const test::ScopedEnv env{{std::string(kInviteEnv), c.text}, {std::string(kInviteFileEnv), c.file}};
    const auto result = ci_invite();
    if (c.kind) {
      expect_failure(result, *c.kind, c.message);
      continue;
    }
    ASSERT_TRUE(result.has_value()) << result.error().message();
    if (c.absent) {
      EXPECT_FALSE(result->has_value());
      continue;
    }
    ASSERT_TRUE(result->has_value());
    EXPECT_EQ(Bytes((*result)->master_seed.view().begin(), (*result)->master_seed.view().end()), plain.seed);
    EXPECT_EQ((*result)->root, kRoot);
  }
}

// Names chosen by the caller. glibc's getenv would cut a name at a NUL and
// match "NAME=x" against a variable NAME whose value starts "x=": such
// names, and the empty one, count as unset.
TEST_F(InviteInput, CallerNamedVariables) {
  const Sample plain = samples()[2];
  const std::string text(kIndependentText);
  const std::string file = write("invite.bin", binary_of(plain)).native();
  const test::ScopedEnv env{{"VX_TEST_TEXT", text}, {"VX_TEST_FILE", file}, {"VX_TEST_SPLIT", "x=" + text},
                            {"VX_TEST_BAD", "\xff"}, {"VX_TEST_UNSET", std::nullopt}};
  const auto found = [](std::string_view text_variable, std::string_view file_variable) -> std::optional<bool> {
    const auto result = ci_invite_from(text_variable, file_variable);
    if (!result) {
      ADD_FAILURE() << result.error().message();
      return std::nullopt;
    }
    return result->has_value();
  };
  EXPECT_EQ(found("VX_TEST_TEXT", "VX_TEST_UNSET"), true);
  EXPECT_EQ(found("VX_TEST_UNSET", "VX_TEST_FILE"), true);
  EXPECT_EQ(found("VX_TEST_UNSET", "VX_TEST_UNSET"), false);
  const std::string_view unusable[] = {"", "VX_TEST_SPLIT=x", std::string_view("VX_TEST_TEXT\0X", 14)};
  for (const std::string_view name : unusable) {
    SCOPED_TRACE(std::string(name));
    EXPECT_EQ(found(name, "VX_TEST_UNSET"), false);
    EXPECT_EQ(found("VX_TEST_UNSET", name), false);
    // With the other variable set there is exactly one form, not two.
    EXPECT_EQ(found(name, "VX_TEST_FILE"), true);
  }
  expect_failure(ci_invite_from("VX_TEST_TEXT", "VX_TEST_FILE"), Kind::InviteFormCount, kFormCount);
  expect_failure(ci_invite_from("VX_TEST_BAD", "VX_TEST_UNSET"), Kind::EnvNotUtf8,
                 "environment variable VX_TEST_BAD must be valid UTF-8");
}

TEST_F(InviteInput, IdentityUserOfTheEnvironment) {
  const crypto::Crypto provider{};
  {
    const auto none = ci_identity_user(provider);
    ASSERT_TRUE(none.has_value());
    EXPECT_FALSE(none->has_value());
  }
  const Sample plain = samples()[2];
  {
    const test::ScopedEnv env(std::string{kInviteEnv}, std::string{kIndependentText});
    const auto user = ci_identity_user(provider);
    ASSERT_TRUE(user.has_value()) << user.error().message();
    ASSERT_TRUE(user->has_value());
    EXPECT_EQ(**user, crypto::Identity::from_master_seed(provider, kSeed)->user_id());
  }
  {
    // A seed of the wrong length decodes, and derivation refuses it.
    const Sample short_seed{"31-byte seed", false, Bytes(31, 0x5e), std::nullopt, 76};
    const test::ScopedEnv env(std::string(kInviteFileEnv), write("short.bin", binary_of(short_seed)).native());
    const auto refused = keychain::FixedIdentityProvider::from_master_seed(provider, short_seed.seed);
    ASSERT_FALSE(refused.has_value());
    expect_failure(ci_identity_user(provider), Kind::Keychain, refused.error().message());
  }
  {
    const test::ScopedEnv env(std::string(kInviteEnv), "\xff");
    expect_failure(ci_identity_user(provider), Kind::EnvNotUtf8,
                   "environment variable VORNEX_UNSAFE_INVITE must be valid UTF-8");
  }
}

}  // namespace
