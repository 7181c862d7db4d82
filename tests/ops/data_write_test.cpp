// Reading, writing and deleting secrets through sessions on a workspace:
// round trips, field edits, statuses, counters, conflicts, the write
// barrier, authority checked on what the files hold at write time, two
// writers in two processes, text normalisation and size limits.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "ops_vault.hpp"
#include "vornex/core/validate/extend.hpp"
#include "vornex/core/validate/pipeline.hpp"
#include "vornex/store/paths.hpp"

namespace {

using namespace vornex;
using namespace vornex::test::data;
using Kind = ops::OpsError::Kind;
using core::SecretSelectorV1;

SecretSelectorV1 sel(std::vector<std::string> path, std::vector<core::SecretLabelV1> labels = {}) {
  return SecretSelectorV1{std::move(path), std::move(labels)};
}

core::SecretValueV1 value(std::string_view primary, std::vector<std::pair<std::string, std::string>> fields = {}) {
  std::vector<core::SecretFieldEntryV1> entries;
  for (auto& [name, v] : fields) entries.push_back({name, bytes_of(v)});
  return core::SecretValueV1{bytes_of(primary), cord::Set<core::SecretFieldEntryV1>::from(std::move(entries)).value()};
}

using Fields = std::vector<std::pair<std::string, std::string>>;
Fields fields_of(const ops::SecretPlaintext& plaintext) {
  Fields out;
  for (const auto& f : plaintext.fields()) out.emplace_back(f.name, std::string(f.value.begin(), f.value.end()));
  return out;
}
std::string primary_of(const ops::SecretPlaintext& plaintext) {
  return std::string(plaintext.primary().begin(), plaintext.primary().end());
}

std::string user_text(const crypto::Identity& identity) { return core::debug_string(identity.user_id()); }

class DataWrite : public OpsVaultTest {
 protected:
  // An unlocked session, or a failed test.
  ops::UnlockedSession open_as(std::uint8_t seed) const {
    auto session = unlock(seed);
    if (!session) throw std::runtime_error("unlock failed: " + session.error().message());
    return std::move(*session);
  }
};

TEST_F(DataWrite, RoundTripsAndFieldEdits) {
  standard_vault();
  auto alice = open_as(kAlice);
  const auto x = sel({"app", "x"});

  const auto written = alice.set_secret_value(crypto(), x, value("pw", {{"user", "u"}, {"host", "h"}}));
  ASSERT_TRUE(written.has_value()) << written.error().message();
  EXPECT_EQ(written->output.secret_id, b.secret_id(x));
  EXPECT_EQ(written->output.selector, x);
  EXPECT_EQ(counter_of(alice.session(), written->record_hash), std::optional<std::uint64_t>(2));

  // The session holds what the files now hold.
  EXPECT_EQ(*alice.session().vault_bytes, file_bytes(paths().vault_path()).value());
  EXPECT_EQ(alice.session().ratchet, must(store::read_ratchet_for_root(paths(), root_fingerprint())).value());
  EXPECT_FALSE(alice.session().pending.has_value());
  EXPECT_FALSE(std::filesystem::exists(transaction_file()));

  auto got = alice.get_secret(crypto(), x);
  ASSERT_TRUE(got.has_value()) << got.error().message();
  EXPECT_EQ(primary_of(*got), "pw");
  EXPECT_EQ(fields_of(*got), (Fields{{"host", "h"}, {"user", "u"}}));

  // Replace one field, keep the primary and the other field.
  ASSERT_TRUE(alice.set_secret_value(crypto(), x, got->with_field("user", bytes_of("u2")).value()).has_value());
  got = alice.get_secret(crypto(), x);
  EXPECT_EQ(primary_of(*got), "pw");
  EXPECT_EQ(fields_of(*got), (Fields{{"host", "h"}, {"user", "u2"}}));

  // Removing an absent field changes nothing.
  EXPECT_EQ(got->without_field("nope"), value("pw", {{"host", "h"}, {"user", "u2"}}));
  EXPECT_EQ(got->without_field("host"), value("pw", {{"user", "u2"}}));

  // A plain set drops the fields.
  ASSERT_TRUE(alice.set_secret(crypto(), x, bytes_of("only")).has_value());
  got = alice.get_secret(crypto(), x);
  EXPECT_EQ(primary_of(*got), "only");
  EXPECT_TRUE(got->fields().empty());
  EXPECT_EQ(got->field("user"), nullptr);

  // Another reader sees the last value from a fresh session.
  auto bob = open_as(kBob);
  const auto bobs = bob.get_secret(crypto(), x);
  ASSERT_TRUE(bobs.has_value()) << bobs.error().message();
  EXPECT_EQ(primary_of(*bobs), "only");
}

TEST(DataPlaintext, FieldEdits) {
  const ops::SecretPlaintext twice(sel({"a"}), bytes_of("p"),
                                   {{"dup", bytes_of("1")}, {"other", bytes_of("o")}, {"dup", bytes_of("2")}});
  ASSERT_NE(twice.field("dup"), nullptr);
  EXPECT_EQ(twice.field("dup")->value, bytes_of("1"));  // the first in list order
  EXPECT_EQ(twice.with_field("dup", bytes_of("3")), value("p", {{"dup", "3"}, {"other", "o"}}));
  EXPECT_EQ(twice.with_field("new", bytes_of("n")), value("p", {{"dup", "1"}, {"dup", "2"}, {"new", "n"}, {"other", "o"}}));
  EXPECT_EQ(twice.without_field("dup"), value("p", {{"other", "o"}}));
  EXPECT_EQ(twice.without_field("absent"), value("p", {{"dup", "1"}, {"dup", "2"}, {"other", "o"}}));

  const ops::SecretPlaintext bare(sel({"a"}), bytes_of("p"), {});
  EXPECT_EQ(bare.field("p"), nullptr);
  EXPECT_EQ(bare.field(""), nullptr);
  EXPECT_EQ(bare.with_field("", bytes_of("")), value("p", {{"", ""}}));
  EXPECT_EQ(bare.without_field("x"), value("p"));
}

TEST_F(DataWrite, DeleteThenGetIsMissing) {
  standard_vault();
  auto alice = open_as(kAlice);
  const auto x = sel({"app", "x"});
  const auto set = alice.set_secret(crypto(), x, bytes_of("v"));
  ASSERT_TRUE(set.has_value()) << set.error().message();
  const auto deleted = alice.delete_secret(crypto(), x);
  ASSERT_TRUE(deleted.has_value()) << deleted.error().message();
  EXPECT_EQ(deleted->output.secret_id, b.secret_id(x));
  EXPECT_GT(counter_of(alice.session(), deleted->record_hash), counter_of(alice.session(), set->record_hash));

  for (const auto* session : {&alice}) {
    const auto got = session->get_secret(crypto(), x);
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().kind(), Kind::SecretMissing);
    EXPECT_EQ(got.error().message(), "secret is missing");
  }
  const auto fresh = open_as(kBob).get_secret(crypto(), x);
  EXPECT_EQ(fresh.error().kind(), Kind::SecretMissing);
  // A deleted secret can be written again.
  ASSERT_TRUE(alice.set_secret(crypto(), x, bytes_of("again")).has_value());
  EXPECT_EQ(primary_of(alice.get_secret(crypto(), x).value()), "again");
}

TEST_F(DataWrite, ReadStatuses) {
  const auto& root = b.root();
  standard_vault({
      b.secret(root, sel({"app", "conflict"}), {&root, &id(kAlice)}, 5),
      b.secret(root, sel({"app", "conflict"}), {&root, &id(kAlice)}, 5),
      b.secret(root, sel({"app", "root-only"}), {&root}, 5),
  });
  using Status = core::validate::SecretStatus;
  struct Case {
    const char* name;
    std::uint8_t reader;
    SecretSelectorV1 selector;
    Kind kind;
    std::string message;
    std::optional<Status> status;
  };
  const std::string not_decryptable = "secret is not decryptable for this identity: ";
  const std::vector<Case> cases = {
      {"conflicted", kAlice, sel({"app", "conflict"}), Kind::SecretConflicted,
       "secret is conflicted and has no current value until the conflict is resolved", std::nullopt},
      {"not sealed to the reader", kAlice, sel({"app", "root-only"}), Kind::SecretNotDecryptable,
       not_decryptable + "NotEncryptedForReader", Status::NotEncryptedForReader},
      {"not readable by the user", kCarol, sel({"app", "root-only"}), Kind::SecretNotDecryptable,
       not_decryptable + "Unauthorized", Status::Unauthorized},
      // A segment that is not UTF-8 names no secret.
      {"selector without an id", kAlice, sel({"app", "\xFF"}), Kind::SecretNotDecryptable,
       not_decryptable + "Invalid", Status::Invalid},
      {"missing", kAlice, sel({"app", "none"}), Kind::SecretMissing, "secret is missing", std::nullopt},
  };
  for (const Case& c : cases) {
    const auto session = open_as(c.reader);
    const auto got = session.get_secret(crypto(), c.selector);
    ASSERT_FALSE(got.has_value()) << c.name;
    EXPECT_EQ(got.error().kind(), c.kind) << c.name;
    EXPECT_EQ(got.error().message(), c.message) << c.name;
    EXPECT_EQ(got.error().status() ? std::optional(*got.error().status()) : std::nullopt, c.status) << c.name;
  }
}

// Another session wrote after this one loaded: the write reloads under the
// locks and builds on what it finds, so both secrets survive.
TEST_F(DataWrite, StaleSessionReloadsBeforeWriting) {
  standard_vault();
  auto first = open_as(kAlice);
  auto second = open_as(kRoot);
  const auto a = first.set_secret(crypto(), sel({"app", "a"}), bytes_of("A"));
  ASSERT_TRUE(a.has_value()) << a.error().message();

  // Reads answer from memory: the stale session has not seen the write.
  EXPECT_EQ(second.get_secret(crypto(), sel({"app", "a"})).error().kind(), Kind::SecretMissing);

  const auto bee = second.set_secret(crypto(), sel({"app", "b"}), bytes_of("B"));
  ASSERT_TRUE(bee.has_value()) << bee.error().message();
  EXPECT_GT(counter_of(second.session(), bee->record_hash), counter_of(first.session(), a->record_hash));
  EXPECT_EQ(primary_of(second.get_secret(crypto(), sel({"app", "a"})).value()), "A");

  auto fresh = open_as(kRoot);
  EXPECT_EQ(primary_of(fresh.get_secret(crypto(), sel({"app", "a"})).value()), "A");
  EXPECT_EQ(primary_of(fresh.get_secret(crypto(), sel({"app", "b"})).value()), "B");
}

// Competing writes leave a secret without a value; a new write outranks
// them and becomes its value. A rollback raises the floor above the
// trusted counter, past the next counter of the records present.
TEST_F(DataWrite, NewWriteOutranksConflicts) {
  const auto& root = b.root();
  const auto conflicted = sel({"app", "c"});
  const auto rolled_back = sel({"app", "r"});
  struct Case {
    const char* name;
    SecretSelectorV1 selector;
    std::vector<core::VaultRecordV1> extra;
    std::optional<std::uint64_t> trusted;  // the ratchet's counter for the secret
    std::uint64_t at_least;
  };
  const std::vector<Case> cases = {
      {"two writes at one counter", conflicted,
       {b.secret(root, conflicted, {&root, &id(kAlice)}, 5), b.secret(root, conflicted, {&root, &id(kAlice)}, 5)},
       std::nullopt, 6},
      {"rolled back below the trust", rolled_back, {b.secret(root, rolled_back, {&root, &id(kAlice)}, 5)}, 9, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(state_dir());
    auto records = base_records();
    records.insert(records.end(), c.extra.begin(), c.extra.end());
    write_vault(records);
    core::Ratchet ratchet = core::Ratchet::make(root_fingerprint().to_vec());
    if (c.trusted) ratchet.absorb_record(core::SecretRatchetRecordV1{b.secret_id(c.selector), *c.trusted, c.selector});
    trust(ratchet);

    auto alice = open_as(kAlice);
    ASSERT_EQ(alice.get_secret(crypto(), c.selector).error().kind(), Kind::SecretConflicted);
    const auto written = alice.set_secret(crypto(), c.selector, bytes_of("resolved"));
    ASSERT_TRUE(written.has_value()) << written.error().message();
    EXPECT_GE(counter_of(alice.session(), written->record_hash).value(), c.at_least);
    EXPECT_TRUE(alice.session().report.effective.secret_record_is_current(written->record_hash));
    EXPECT_EQ(primary_of(alice.get_secret(crypto(), c.selector).value()), "resolved");
    EXPECT_EQ(primary_of(open_as(kRoot).get_secret(crypto(), c.selector).value()), "resolved");
  }
}

TEST_F(DataWrite, CounterLimit) {
  constexpr std::uint64_t kLimit = std::uint64_t{1} << 62;
  const std::string exhausted =
      "the vault's Lamport counter is exhausted \xE2\x80\x94 a record carries an absurdly high counter, which no "
      "well-behaved client produces";
  const auto& root = b.root();

  standard_vault({b.secret(root, sel({"app", "high"}), {&root}, kLimit - 1)});
  auto alice = open_as(kAlice);
  const auto last = alice.set_secret(crypto(), sel({"app", "x"}), bytes_of("v"));
  ASSERT_TRUE(last.has_value()) << last.error().message();
  EXPECT_EQ(counter_of(alice.session(), last->record_hash), std::optional<std::uint64_t>(kLimit));

  const Snapshot before = files();
  const auto refused = alice.set_secret(crypto(), sel({"app", "y"}), bytes_of("v"));
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind(), Kind::LamportCounterExhausted);
  EXPECT_EQ(refused.error().message(), exhausted);
  EXPECT_EQ(refused.error().message().size(), 125u);
  EXPECT_EQ(alice.delete_secret(crypto(), sel({"app", "x"})).error().kind(), Kind::LamportCounterExhausted);
  EXPECT_EQ(files(), before);

  // A vault that arrives at the limit refuses the first write.
  std::filesystem::remove_all(dir_ / "ws");
  std::filesystem::remove_all(state_dir());
  standard_vault({b.secret(root, sel({"app", "high"}), {&root}, kLimit)});
  auto other = open_as(kAlice);
  EXPECT_EQ(other.set_secret(crypto(), sel({"app", "x"}), bytes_of("v")).error().kind(),
            Kind::LamportCounterExhausted);
}

TEST_F(DataWrite, PendingTransactionBlocksEveryWrite) {
  standard_vault();
  auto alice = open_as(kAlice);
  ASSERT_TRUE(alice.set_secret(crypto(), sel({"app", "x"}), bytes_of("v")).has_value());
  write_pending_transaction(paths().vault_path());
  const Snapshot before = files();
  std::string id;
  for (int i = 0; i < 32; ++i) id += "ab";
  const std::string message = "a pending transaction " + id + " from " +
                              std::filesystem::canonical(paths().vault_path()).native() +
                              " blocks writes for this vault";

  const ops::ValueUpdate add =
      [](const ops::SecretPlaintext& p) -> ops::OpsResult<std::optional<core::SecretValueV1>> {
    return p.with_field("f", bytes_of("1"));
  };
  const std::vector<std::pair<const char*, ops::OpsError>> failures = {
      {"set", alice.set_secret(crypto(), sel({"app", "y"}), bytes_of("v")).error()},
      {"set value", alice.set_secret_value(crypto(), sel({"app", "y"}), value("v", {{"f", "1"}})).error()},
      {"update", alice.update_secret_value(crypto(), sel({"app", "x"}), add).error()},
      {"delete", alice.delete_secret(crypto(), sel({"app", "x"})).error()},
  };
  for (const auto& [name, error] : failures) {
    EXPECT_EQ(error.kind(), Kind::PendingTransactionBlocks) << name;
    EXPECT_EQ(error.message(), message) << name;
  }
  EXPECT_EQ(files(), before);
}

// Authority is judged again on the files as they are when the write takes
// its locks, and a write refused there says why.
TEST_F(DataWrite, AuthorityLostAfterLoading) {
  standard_vault();
  struct Case {
    const char* name;
    std::function<std::vector<core::VaultRecordV1>()> change;
    Kind kind;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"grant revoked",
       [&] {
         return std::vector{b.grant_deleted(b.root(), b.grant_id("alice-write"), test::write_permission(test::prefix({"app"})), 2)};
       },
       Kind::SecretNotWritable, "secret is not writable by this identity"},
      {"user removed", [&] { return std::vector{b.user_deleted(b.root(), id(kAlice).user_id(), 2)}; },
       Kind::WriterMissingUserRecord, "writer " + user_text(id(kAlice)) + " is missing an active user record"},
  };
  const auto initial = file_bytes(paths().vault_path()).value();
  for (const Case& c : cases) {
    must(store::write_vault_bytes_atomic(paths(), initial));
    auto alice = open_as(kAlice);
    add_records(c.change());  // by another process, after the load
    const Snapshot before = files();
    const auto set = alice.set_secret(crypto(), sel({"app", "x"}), bytes_of("v"));
    ASSERT_FALSE(set.has_value()) << c.name;
    EXPECT_EQ(set.error().kind(), c.kind) << c.name;
    EXPECT_EQ(set.error().message(), c.message) << c.name;
    const auto deleted = alice.delete_secret(crypto(), sel({"app", "x"}));
    ASSERT_FALSE(deleted.has_value()) << c.name;
    EXPECT_EQ(deleted.error().kind(), c.kind) << c.name;
    EXPECT_EQ(files(), before) << c.name;
  }
}

TEST_F(DataWrite, WriterChecks) {
  standard_vault();
  auto session = load().value();
  const crypto::Identity stranger = identity_of(kStranger);
  const auto written = session.set_secret_value(crypto(), stranger, sel({"app", "x"}), value("v"));
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().kind(), Kind::WriterMissingUserRecord);
  EXPECT_EQ(written.error().message(), "writer " + user_text(stranger) + " is missing an active user record");

  // Through the unlocked session, each user's authority decides.
  struct Case {
    std::uint8_t seed;
    SecretSelectorV1 selector;
    bool writable;
  };
  const std::vector<Case> cases = {
      {kRoot, sel({"anything"}), true},  {kAlice, sel({"app", "x"}), true}, {kAlice, sel({"app"}), true},
      {kAlice, sel({"apps"}), false},    {kBob, sel({"app", "x"}), false},  {kCarol, sel({"app", "x"}), false},
  };
  const auto& state = session.report.effective;
  for (const Case& c : cases) {
    const auto ok = ops::ensure_secret_writable(state, c.selector, id(c.seed));
    EXPECT_EQ(ok.has_value(), c.writable) << int(c.seed) << " " << c.selector.tuple.back();
    if (!ok) {
      EXPECT_EQ(ok.error().kind(), Kind::SecretNotWritable);
    }
  }
  auto blocked = state;
  blocked.blocked = true;
  EXPECT_EQ(ops::ensure_secret_writable(blocked, sel({"x"}), id(kRoot)).error().kind(), Kind::SecretNotWritable);

  auto bob = open_as(kBob);
  const Snapshot before = files();
  EXPECT_EQ(bob.set_secret(crypto(), sel({"app", "x"}), bytes_of("v")).error().kind(), Kind::SecretNotWritable);
  EXPECT_EQ(files(), before);
}

// Two processes each add a field to one secret from sessions loaded before
// either wrote: each reads the value under the write's locks, so neither
// field is lost.
TEST_F(DataWrite, ConcurrentFieldUpdatesInTwoProcesses) {
  standard_vault();
  const auto shared = sel({"app", "shared"});
  {
    auto alice = open_as(kAlice);
    ASSERT_TRUE(alice.set_secret(crypto(), shared, bytes_of("p")).has_value());
  }
  auto mine = open_as(kAlice);
  auto theirs = open_as(kRoot);
  const auto adding = [](std::string name) {
    return ops::ValueUpdate(
        [name](const ops::SecretPlaintext& p) -> ops::OpsResult<std::optional<core::SecretValueV1>> {
          return p.with_field(name, bytes_of(name));
        });
  };

  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char byte;
    ::close(go[1]);
    const bool started = ::read(go[0], &byte, 1) == 1;
    const auto written = theirs.update_secret_value(crypto(), shared, adding("child"));
    ::_exit(started && written.has_value() && written->has_value() ? 0 : 1);
  }
  ::close(go[0]);
  ASSERT_EQ(::write(go[1], "x", 1), 1);
  ::close(go[1]);
  const auto written = mine.update_secret_value(crypto(), shared, adding("parent"));
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(written.has_value()) << written.error().message();
  EXPECT_TRUE(written->has_value());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  const auto final_value = open_as(kBob).get_secret(crypto(), shared);
  ASSERT_TRUE(final_value.has_value()) << final_value.error().message();
  EXPECT_EQ(primary_of(*final_value), "p");
  EXPECT_EQ(fields_of(*final_value), (Fields{{"child", "child"}, {"parent", "parent"}}));
}

TEST_F(DataWrite, UpdateThatDeclinesWritesNothing) {
  standard_vault();
  auto alice = open_as(kAlice);
  ASSERT_TRUE(alice.set_secret(crypto(), sel({"app", "x"}), bytes_of("v")).has_value());
  const Snapshot before = files();
  int calls = 0;
  const auto result = alice.update_secret_value(crypto(), sel({"app", "x"}), [&](const ops::SecretPlaintext& p) {
    ++calls;
    EXPECT_EQ(primary_of(p), "v");
    return std::optional<core::SecretValueV1>();
  });
  ASSERT_TRUE(result.has_value()) << result.error().message();
  EXPECT_FALSE(result->has_value());
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(files(), before);

  // A secret that does not exist is not created.
  const auto missing = alice.update_secret_value(crypto(), sel({"app", "none"}), [&](const ops::SecretPlaintext&) {
    ++calls;
    return std::optional(value("new"));
  });
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind(), Kind::SecretMissing);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(files(), before);
}

// Texts enter in NFC: a decomposed spelling writes the record a composed
// one finds, with its labels in the order of their composed keys.
TEST_F(DataWrite, SelectorsAreNormalised) {
  standard_vault();
  auto alice = open_as(kAlice);
  // "e" + U+0301 sorts before "f"; composed U+00E9 sorts after it.
  const auto decomposed = sel({"app", "cafe\xCC\x81"}, {{"e\xCC\x81", "1"}, {"f", "2"}});
  const auto composed = sel({"app", "caf\xC3\xA9"}, {{"f", "2"}, {"\xC3\xA9", "1"}});

  const auto written = alice.set_secret(crypto(), decomposed, bytes_of("v"));
  ASSERT_TRUE(written.has_value()) << written.error().message();
  EXPECT_EQ(written->output.selector, composed);
  EXPECT_EQ(written->output.secret_id, b.secret_id(composed));

  auto fresh = load();
  ASSERT_TRUE(fresh.has_value()) << fresh.error().message();
  EXPECT_TRUE(fresh->report.issues.empty());
  const auto live = fresh->report.effective.secret_records();
  ASSERT_EQ(live.size(), 1u);
  EXPECT_EQ(live[0].secret.selector, composed);

  for (const auto& spelling : {composed, decomposed}) {
    const auto got = alice.get_secret(crypto(), spelling);
    ASSERT_TRUE(got.has_value()) << got.error().message();
    EXPECT_EQ(primary_of(*got), "v");
    EXPECT_EQ(got->selector(), composed);
  }
  ASSERT_TRUE(alice.delete_secret(crypto(), decomposed).has_value());
  EXPECT_EQ(alice.get_secret(crypto(), composed).error().kind(), Kind::SecretMissing);

  // Two label keys that are one key once composed make no selector: the
  // write is refused and nothing is written.
  const Snapshot before = files();
  const auto twice = alice.set_secret(crypto(), sel({"app", "y"}, {{"e\xCC\x81", "1"}, {"\xC3\xA9", "2"}}),
                                      bytes_of("v"));
  ASSERT_FALSE(twice.has_value());
  EXPECT_EQ(twice.error().kind(), Kind::ValidationFailed) << twice.error().message();
  EXPECT_EQ(files(), before);
}

// A field name given decomposed names the same field as its composed
// form: it is stored composed, found by the composed name, and replaces or
// removes the field instead of adding a second one.
TEST_F(DataWrite, FieldNamesAreNormalised) {
  standard_vault();
  auto alice = open_as(kAlice);
  const std::string composed = "caf\xC3\xA9";
  const std::string decomposed = "cafe\xCC\x81";
  struct Case {
    const char* name;
    Fields before;
    std::function<ops::OpsResult<core::SecretValueV1>(const ops::SecretPlaintext&)> edit;
    Fields after;
  };
  const std::vector<Case> cases = {
      {"added", {}, [&](const auto& p) { return p.with_field(decomposed, bytes_of("1")); }, {{composed, "1"}}},
      {"replaced", {{composed, "1"}}, [&](const auto& p) { return p.with_field(decomposed, bytes_of("2")); },
       {{composed, "2"}}},
      {"replaced by the same value", {{composed, "1"}},
       [&](const auto& p) { return p.with_field(decomposed, bytes_of("1")); }, {{composed, "1"}}},
      {"removed", {{composed, "1"}, {"other", "o"}}, [&](const auto& p) { return p.without_field(decomposed); },
       {{"other", "o"}}},
  };
  const auto x = sel({"app", "x"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(alice.set_secret_value(crypto(), x, value("p", c.before)).has_value());
    const auto current = alice.get_secret(crypto(), x).value();
    const auto next = c.edit(current);
    ASSERT_TRUE(next.has_value()) << next.error().message();
    ASSERT_TRUE(alice.set_secret_value(crypto(), x, *next).has_value());
    const auto got = alice.get_secret(crypto(), x).value();
    EXPECT_EQ(primary_of(got), "p");
    EXPECT_EQ(fields_of(got), c.after);
    if (!c.after.empty() && c.after[0].first == composed) {
      EXPECT_NE(got.field(composed), nullptr);
    }
  }
}

// A value whose record could not be decoded again is refused before
// anything is sealed or written: the Cord length limit applies to the
// primary value and to the ciphertext, which adds 41 bytes (envelope
// header, the empty field set and the tag).
TEST_F(DataWrite, OversizedValuesAreRefused) {
  standard_vault();
  auto alice = open_as(kAlice);
  const Snapshot before = files();
  constexpr std::uint64_t kMax = 16'777'216;
  struct Case {
    std::uint64_t primary;
    std::uint64_t reported;
  };
  for (const Case c : {Case{17 * 1024 * 1024, 17 * 1024 * 1024}, Case{kMax - 40, kMax + 1}}) {
    const auto written = alice.set_secret(crypto(), sel({"app", "big"}), cord::Bytes(c.primary, 'x'));
    ASSERT_FALSE(written.has_value()) << c.primary;
    EXPECT_EQ(written.error().kind(), Kind::Cord);
    EXPECT_EQ(written.error().message(), "Cord error: Cord length limit exceeded: " + std::to_string(c.reported) +
                                             " exceeds maximum of " + std::to_string(kMax));
  }
  EXPECT_EQ(files(), before);
}

// A field too large for the encoding is refused as a plain value is, from
// inside the update, with nothing written.
TEST_F(DataWrite, OversizedFieldsAreRefused) {
  standard_vault();
  auto alice = open_as(kAlice);
  const auto x = sel({"app", "x"});
  ASSERT_TRUE(alice.set_secret(crypto(), x, bytes_of("v")).has_value());
  const Snapshot before = files();
  const std::uint64_t size = 17 * 1024 * 1024;
  const auto written = alice.update_secret_value(
      crypto(), x, [&](const ops::SecretPlaintext& p) -> ops::OpsResult<std::optional<core::SecretValueV1>> {
        return p.with_field("big", cord::Bytes(size, 'x'));
      });
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().kind(), Kind::Cord);
  EXPECT_EQ(written.error().message(),
            "Cord error: Cord length limit exceeded: " + std::to_string(size) + " exceeds maximum of 16777216");
  EXPECT_EQ(files(), before);
  EXPECT_EQ(primary_of(alice.get_secret(crypto(), x).value()), "v");
}

// An update reads before it writes: a reader without write authority
// learns that a secret is missing, and only an existing one is refused as
// not writable.
TEST_F(DataWrite, AnUpdateFailsAsItsReadWouldBeforeAnyWriteCheck) {
  standard_vault();
  ASSERT_TRUE(open_as(kAlice).set_secret(crypto(), sel({"app", "x"}), bytes_of("v")).has_value());
  auto bob = open_as(kBob);
  const ops::ValueUpdate keep = [](const ops::SecretPlaintext&) -> ops::OpsResult<std::optional<core::SecretValueV1>> {
    return std::optional(value("changed"));
  };
  const std::vector<std::pair<std::vector<std::string>, Kind>> cases = {
      {{"app", "none"}, Kind::SecretMissing},
      {{"app", "x"}, Kind::SecretNotWritable},
  };
  for (const auto& [path, kind] : cases) {
    const auto result = bob.update_secret_value(crypto(), sel(path), keep);
    ASSERT_FALSE(result.has_value()) << path.back();
    EXPECT_EQ(result.error().kind(), kind) << path.back();
  }
}

// The ciphertext fits the limit, but the record around it (selector,
// nonce, recipient slots, counter) does not: the record could not be
// decoded again, and the refusal is the same length-limit error.
TEST_F(DataWrite, ValueWhoseRecordExceedsTheLimit) {
  standard_vault();
  auto alice = open_as(kAlice);
  const Snapshot before = files();
  constexpr std::uint64_t kMax = 16'777'216;
  const auto written = alice.set_secret(crypto(), sel({"app", "big"}), cord::Bytes(kMax - 41, 'x'));
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().kind(), Kind::Cord) << written.error().message();
  EXPECT_TRUE(written.error().message().starts_with("Cord error: Cord length limit exceeded: "))
      << written.error().message();
  EXPECT_EQ(files(), before);
}

// Values near the limit are written and read back whole.
TEST_F(DataWrite, LargeValueRoundTrips) {
  standard_vault();
  auto alice = open_as(kAlice);
  const cord::Bytes big(16'777'216 - 4096, 'x');
  const auto written = alice.set_secret(crypto(), sel({"app", "big"}), big);
  ASSERT_TRUE(written.has_value()) << written.error().message();
  auto fresh = load();
  ASSERT_TRUE(fresh.has_value()) << fresh.error().message();
  EXPECT_EQ(*fresh->vault_bytes, *alice.session().vault_bytes);
  EXPECT_EQ(fresh->report.effective.records, alice.session().report.effective.records);
  EXPECT_EQ(alice.get_secret(crypto(), sel({"app", "big"})).value().primary(), big);
}

}  // namespace

namespace {

// Writes by two sessions in turn, each reloading what the other wrote:
// after every write, the session's state is the one a fresh load of the
// files gives, however the write came by its report, and most writes derive
// it from the session's report instead of validating in full.
TEST_F(DataWrite, EveryWriteLeavesTheStateAFreshLoadFinds) {
  standard_vault({b.grant(b.root(), "carol-web", user_ref(id(kCarol)), test::write_permission(test::prefix({"web"})))});
  auto alice = open_as(kAlice);
  auto carol = open_as(kCarol);
  const std::vector<SecretSelectorV1> selectors{sel({"app", "a"}), sel({"app", "b"}, {{"env", "prod"}}),
                                                sel({"web", "c"}), sel({"web"})};
  std::uint64_t state = 42;
  const auto roll = [&](std::uint64_t n) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return (state >> 33) % n;
  };
  const std::uint64_t derived_before = core::validate::secret_writes_derived();
  int writes = 0;
  for (int step = 0; step < 40; ++step) {
    SCOPED_TRACE(step);
    // Mostly one writer in a row, so that most writes find their session current.
    const bool by_carol = roll(4) == 0;
    auto& writer = by_carol ? carol : alice;
    // Now and then a selector the writer may not write.
    const bool own = roll(8) != 0;
    const SecretSelectorV1& selector = selectors[(by_carol == own ? 2 : 0) + roll(2)];
    const bool erase = roll(4) == 0;
    const bool done = erase ? writer.delete_secret(crypto(), selector).has_value()
                            : writer.set_secret(crypto(), selector, bytes_of("v" + std::to_string(step))).has_value();
    if (!done) continue;  // not this writer's to write, or nothing to delete
    ++writes;
    // Every payload the session keeps lies in the file it holds, and there
    // alone: no older file is kept alive by the records.
    const cord::Bytes& file = *writer.session().vault_bytes;
    for (const auto& verified : writer.session().report.effective.records) {
      if (const auto* secret = std::get_if<core::SecretRecordV1>(&verified.body())) {
        const auto offset = secret->payload.offset_in(file);
        ASSERT_TRUE(offset.has_value());
        EXPECT_TRUE(std::ranges::equal(cord::ByteView(file).subspan(*offset, secret->payload.bytes().size()),
                                       secret->payload.bytes()));
      }
    }
    auto fresh = load();
    ASSERT_TRUE(fresh.has_value()) << fresh.error().message();
    EXPECT_EQ(writer.session().report.effective, fresh->report.effective);
    EXPECT_TRUE(writer.session().report.issues.empty());
    EXPECT_EQ(*writer.session().vault_bytes, *fresh->vault_bytes);
    EXPECT_EQ(writer.session().ratchet, fresh->ratchet);
    // The ratchet file is the full encoding of the session's ratchet, however it was made.
    EXPECT_EQ(file_bytes(ratchet_file()).value(), store::encode_ratchet(writer.session().ratchet).value());
  }
  EXPECT_GT(writes, 25);
  EXPECT_GT(core::validate::secret_writes_derived() - derived_before, static_cast<std::uint64_t>(writes / 2));
}

}  // namespace

namespace {

// A write that finds the ratchet file as its session last wrote it need not
// decode it; one that another process raised meanwhile must not lose the
// raise.
TEST_F(DataWrite, ARatchetRaisedByAnotherProcessIsKeptByTheNextWrite) {
  standard_vault();
  auto alice = open_as(kAlice);
  ASSERT_TRUE(alice.set_secret(crypto(), sel({"app", "a"}), bytes_of("1")).has_value());
  const core::RecordKey key{core::record_key::Secret{b.secret_id(sel({"app", "b"}))}};
  core::Ratchet raised = must(store::read_ratchet_for_root(paths(), root_fingerprint())).value();
  core::RatchetUpdate update;
  update.counters.emplace(key, 7);
  raised.apply_update(update);
  trust(raised);

  const auto written = alice.set_secret(crypto(), sel({"app", "a"}), bytes_of("2"));
  ASSERT_TRUE(written.has_value()) << written.error().message();
  const core::Ratchet after = must(store::read_ratchet_for_root(paths(), root_fingerprint())).value();
  ASSERT_TRUE(after.counters().contains(key));
  EXPECT_EQ(after.counters().at(key), 7u);
  EXPECT_EQ(alice.session().ratchet, after);
  // The raise the other process made is a rollback the session now sees.
  EXPECT_TRUE(alice.session().report.effective.conflicts.contains(key));
}

// The same raise written over the file in place, keeping its inode and
// size: the ratchet file the session holds open no longer looks the same,
// so it is read again.
TEST_F(DataWrite, ARatchetRaisedInPlaceIsReadAgain) {
  standard_vault();
  auto alice = open_as(kAlice);
  ASSERT_TRUE(alice.set_secret(crypto(), sel({"app", "b"}), bytes_of("1")).has_value());
  ASSERT_TRUE(alice.set_secret(crypto(), sel({"app", "a"}), bytes_of("2")).has_value());
  ASSERT_TRUE(alice.session().ratchet_file);
  const core::RecordKey key{core::record_key::Secret{b.secret_id(sel({"app", "b"}))}};
  core::Ratchet raised = must(store::read_ratchet_for_root(paths(), root_fingerprint())).value();
  const std::uint64_t trusted = raised.counters().at(key);
  core::RatchetUpdate update;
  update.counters.emplace(key, trusted + 1);
  raised.apply_update(update);
  const cord::Bytes bytes = must(store::encode_ratchet(raised));
  ASSERT_EQ(bytes.size(), file_bytes(ratchet_file()).value().size());  // a counter is eight bytes either way
  struct stat before {};
  ASSERT_EQ(::stat(ratchet_file().c_str(), &before), 0);
  {
    std::fstream file(ratchet_file(), std::ios::in | std::ios::out | std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  struct stat now {};
  ASSERT_EQ(::stat(ratchet_file().c_str(), &now), 0);
  ASSERT_EQ(now.st_ino, before.st_ino);

  const auto written = alice.set_secret(crypto(), sel({"app", "a"}), bytes_of("3"));
  ASSERT_TRUE(written.has_value()) << written.error().message();
  const core::Ratchet after = must(store::read_ratchet_for_root(paths(), root_fingerprint())).value();
  EXPECT_EQ(after.counters().at(key), trusted + 1);
  EXPECT_EQ(alice.session().ratchet, after);
  EXPECT_TRUE(alice.session().report.effective.conflicts.contains(key));
}

}  // namespace

namespace {

// A session keeps the vault file it read open, from the opening and then
// after each write, and while the path names that unchanged file does not
// read it again; a file changed in place since (same inode, same size) is
// read again and judged.
void flip_last_byte_in_place(const std::filesystem::path& path) {
  const cord::Bytes bytes = file_bytes(path).value();
  const auto inode_of = [&] {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return st.st_ino;
  };
  const auto inode = inode_of();
  {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(bytes.size() - 1));
    file.put(static_cast<char>(bytes.back() ^ 1));
  }
  EXPECT_EQ(inode_of(), inode);
}

TEST_F(DataWrite, AVaultChangedInPlaceIsReadAgain) {
  for (const int writes_before : {0, 2}) {
    SCOPED_TRACE(writes_before);
    standard_vault();
    auto alice = open_as(kAlice);
    ASSERT_TRUE(alice.session().vault_file);
    for (int i = 0; i < writes_before; ++i) {
      ASSERT_TRUE(alice.set_secret(crypto(), sel({"app", "a"}), bytes_of(std::to_string(i))).has_value());
      ASSERT_TRUE(alice.session().vault_file);
    }
    // One byte of the last record's signature.
    flip_last_byte_in_place(paths().vault_path());
    const auto refused = alice.set_secret(crypto(), sel({"app", "a"}), bytes_of("3"));
    ASSERT_FALSE(refused.has_value());
    EXPECT_NE(refused.error().message().find("InvalidSignature"), std::string::npos) << refused.error().message();
  }
}

// A ratchet file that decodes to the session's ratchet without being its
// encoding (here with a superseded record of one key besides the current
// one) is never raised in place: the first write writes it whole, exactly
// as the encoding of the raised ratchet.
TEST_F(DataWrite, ARedundantRatchetFileIsWrittenWholeByTheFirstWrite) {
  standard_vault();
  {
    auto seed = open_as(kAlice);
    ASSERT_TRUE(seed.set_secret(crypto(), sel({"app", "a"}), bytes_of("1")).has_value());
  }
  const core::Ratchet trusted = must(store::read_ratchet_for_root(paths(), root_fingerprint())).value();
  std::vector<cord::Evolving<core::RatchetRecordV1>> stored = trusted.to_stored();
  const core::RecordKey key{core::record_key::Secret{b.secret_id(sel({"app", "a"}))}};
  ASSERT_TRUE(trusted.counters().contains(key));
  const core::KeyOrigin origin = core::key_origin::Secret{sel({"app", "a"})};
  stored.emplace_back(core::ratchet_record_for_key(key, trusted.counters().at(key) - 1, &origin).value());
  store::RatchetStore redundant{
      store::ratchet_store::V1{cord::Set<cord::Evolving<core::RatchetRecordV1>>::from(std::move(stored)).value()}};
  cord::Bytes bytes(store::kRatchetMagic.begin(), store::kRatchetMagic.end());
  ASSERT_TRUE(cord::serialize_into(bytes, redundant));
  ASSERT_NE(bytes, store::encode_ratchet(trusted).value());
  {
    std::ofstream out(ratchet_file(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  ASSERT_EQ(must(store::read_ratchet_for_root(paths(), root_fingerprint())).value(), trusted);

  auto alice = open_as(kAlice);
  ASSERT_EQ(file_bytes(ratchet_file()).value(), bytes);  // the opening had nothing to raise
  ASSERT_TRUE(alice.set_secret(crypto(), sel({"app", "b"}), bytes_of("2")).has_value());
  EXPECT_EQ(file_bytes(ratchet_file()).value(), store::encode_ratchet(alice.session().ratchet).value());
  ASSERT_TRUE(alice.set_secret(crypto(), sel({"app", "b"}), bytes_of("3")).has_value());
  EXPECT_EQ(file_bytes(ratchet_file()).value(), store::encode_ratchet(alice.session().ratchet).value());
}

}  // namespace
