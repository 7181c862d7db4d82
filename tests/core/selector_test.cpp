// Selectors, matchers, grant permissions and principals: the reference
// encodings, variant bounds and values the decoder must take as stored.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "golden.hpp"
#include "vornex/core/principal.hpp"
#include "vornex/core/selector.hpp"

namespace {

using cord::Bytes;
using cord::ErrorKind;
using namespace vornex::core;
using vornex::test::cat;
using vornex::test::decode_error;
using vornex::test::expect_golden;
using vornex::test::expect_reencodes;
using vornex::test::fill;
using vornex::test::hex;

KeyspaceSelectorV1 any_path() { return {tuple_matcher::Any{}, {}}; }

TEST(SelectorWire, KnownEncodings) {
  {
    SCOPED_TRACE("secret selector db/prod, env=x");
    const SecretSelectorV1 selector{{"db", "prod"}, {{"env", "x"}}};
    const Bytes bytes = hex(
        "00000002 00000002 6462 00000004 70726f64 00000001 00000003 656e76 00000001 78");
    ASSERT_EQ(bytes.size(), 34u);
    expect_golden(selector, bytes);
  }
  {
    SCOPED_TRACE("keyspace prefix db, env in [a, b]");
    const KeyspaceSelectorV1 selector{tuple_matcher::Prefix{{"db"}}, {{"env", label_matcher::In{{"a", "b"}}}}};
    const Bytes bytes = hex(
        "00000002 00000001 00000002 6462 00000001 00000003 656e76 00000002 00000002 00000001 61 00000001 62");
    ASSERT_EQ(bytes.size(), 43u);
    expect_golden(selector, bytes);
  }
  {
    SCOPED_TRACE("manage over any, grantable read and write");
    const GrantPermissionV1 manage =
        grant_permission::Manage{any_path(), {grant_class::Read{}, grant_class::Write{}}};
    const Bytes bytes = hex("00000002 00000000 00000000 00000002 00000000 00000001");
    ASSERT_EQ(bytes.size(), 24u);
    expect_golden(manage, bytes);
  }
  expect_golden(GrantPermissionV1(grant_permission::Root{}), hex("00000003"));
  {
    SCOPED_TRACE("user principal with a 32-byte id");
    const PrincipalRefV1 user = UserId(HashValue(fill(32, 0x3C)));
    expect_golden(user, cat(hex("00000000 00000020"), fill(32, 0x3C)));
  }
}

TEST(SelectorWire, EveryVariantOfEveryEnum) {
  const KeyspaceSelectorV1 exact_a{tuple_matcher::Exact{{"a"}}, {}};
  const Bytes exact_a_bytes = hex("00000001 00000001 00000001 61 00000000");
  struct Case {
    const char* what;
    Bytes bytes;
    KeyspaceSelectorV1 selector;
  };
  const Case selectors[] = {
      {"any", hex("00000000 00000000"), any_path()},
      {"exact, no segments", hex("00000001 00000000 00000000"), {tuple_matcher::Exact{}, {}}},
      {"exact a", exact_a_bytes, exact_a},
      {"prefix, no segments", hex("00000002 00000000 00000000"), {tuple_matcher::Prefix{}, {}}},
      {"present", hex("00000000 00000001 00000001 6b 00000000"), {tuple_matcher::Any{}, {{"k", label_matcher::Present{}}}}},
      {"equals empty", hex("00000000 00000001 00000001 6b 00000001 00000000"),
       {tuple_matcher::Any{}, {{"k", label_matcher::Equals{""}}}}},
      {"equals v", hex("00000000 00000001 00000001 6b 00000001 00000001 76"),
       {tuple_matcher::Any{}, {{"k", label_matcher::Equals{"v"}}}}},
      {"in, no values", hex("00000000 00000001 00000001 6b 00000002 00000000"),
       {tuple_matcher::Any{}, {{"k", label_matcher::In{}}}}},
      {"absent", hex("00000000 00000001 00000001 6b 00000003"), {tuple_matcher::Any{}, {{"k", label_matcher::Absent{}}}}},
  };
  for (const auto& c : selectors) {
    SCOPED_TRACE(c.what);
    expect_golden(c.selector, c.bytes);
  }

  // Read and Write over one keyspace differ in the index alone.
  expect_golden(GrantPermissionV1(grant_permission::Read{exact_a}), cat(hex("00000000"), exact_a_bytes));
  expect_golden(GrantPermissionV1(grant_permission::Write{exact_a}), cat(hex("00000001"), exact_a_bytes));
  expect_golden(GrantPermissionV1(grant_permission::Manage{exact_a, {grant_class::Manage{}}}),
                cat(cat(hex("00000002"), exact_a_bytes), hex("00000001 00000002")));
  expect_golden(PrincipalRefV1(GroupId(HashValue(hex("0102")))), hex("00000001 00000002 0102"));
  expect_golden(SecretSelectorV1{}, hex("00000000 00000000"));

  // Values that look alike are distinct, as their encodings above are.
  EXPECT_NE(selectors[0].selector, selectors[1].selector);  // Any, Exact []
  EXPECT_NE(selectors[4].selector, selectors[5].selector);  // Present, Equals ""
  EXPECT_NE(GrantPermissionV1(grant_permission::Read{exact_a}), GrantPermissionV1(grant_permission::Write{exact_a}));
}

// Canonical form is validation's business: the decoder keeps what is stored.
TEST(SelectorWire, NonCanonicalValuesDecodeAsStored) {
  const auto labels = cord::deserialize<SecretSelectorV1>(
      hex("00000000 00000002 00000001 62 00000000 00000001 61 00000000"));
  ASSERT_TRUE(labels.has_value());
  ASSERT_EQ(labels->labels.size(), 2u);
  EXPECT_EQ(labels->labels[0].key, "b");
  EXPECT_EQ(labels->labels[1].key, "a");

  const Bytes cases[] = {
      hex("00000002 00000000 00000000"),                                        // empty prefix
      hex("00000000 00000001 00000001 6b 00000002 00000002 00000001 62 00000001 61"),  // in, descending
      hex("00000000 00000002 00000001 62 00000000 00000001 61 00000003"),      // keys descending
  };
  for (const auto& bytes : cases) expect_reencodes<KeyspaceSelectorV1>(bytes);
  expect_reencodes<GrantPermissionV1>(hex("00000002 00000000 00000000 00000000"));  // no classes
  expect_reencodes<GrantPermissionV1>(hex("00000002 00000000 00000000 00000002 00000001 00000001"));
}

TEST(SelectorWire, VariantIndexBounds) {
  struct Case {
    const char* what;
    std::optional<cord::CordError> (*decode)(const Bytes&, const cord::Limits&);
    Bytes last_valid;
    std::uint32_t first_unknown;
  };
  const Case cases[] = {
      {"TupleMatcherV1", &decode_error<TupleMatcherV1>, hex("00000002 00000000"), 3},
      {"LabelMatcherV1", &decode_error<LabelMatcherV1>, hex("00000003"), 4},
      {"GrantPermissionV1", &decode_error<GrantPermissionV1>, hex("00000003"), 4},
      {"KeyspaceGrantClassV1", &decode_error<KeyspaceGrantClassV1>, hex("00000002"), 3},
      {"PrincipalRefV1", &decode_error<PrincipalRefV1>, hex("00000001 00000000"), 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.decode(c.last_valid, {}), std::nullopt);
    Bytes unknown;
    ASSERT_TRUE(cord::wire::write_variant_index(unknown, c.first_unknown, cord::Width::Four).has_value());
    const auto e = c.decode(cat(unknown, hex("00000000")), {});
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->kind(), ErrorKind::UnknownVariant);
    EXPECT_EQ(e->variant_index(), c.first_unknown);
  }
  // An unknown index deep inside reaches the top unchanged, which is what
  // lets an enclosing record be kept as unknown.
  const auto deep = decode_error<GrantPermissionV1>(hex("00000000 00000000 00000001 00000001 6b 00000004"));
  ASSERT_TRUE(deep.has_value());
  EXPECT_EQ(deep->message(), "Cord encountered unknown enum variant index 4");
}

}  // namespace
