// A session's writes run without the interpreter lock, while another
// thread may change the environment, the current directory or the locale:
// nothing they reach may read such process-wide state, on success or on
// failure. The state directory here is the fallback in the temporary
// directory, whose checks run on every write.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "faults/faults.hpp"
#include "ops_vault.hpp"

namespace {

using namespace vornex;
using namespace vornex::test::data;
using test::ScopedEnv;
using test::faults::Armed;
using test::faults::Rule;

core::SecretSelectorV1 sel(std::vector<std::string> path) { return core::SecretSelectorV1{std::move(path), {}}; }

class SessionFaults : public OpsVaultTest {};

TEST_F(SessionFaults, WritesReadNothingProcessWide) {
  std::optional<store::WorkspacePaths> fallback;
  {
    const ScopedEnv env({{"VORNEX_STATE_DIR", std::nullopt},
                         {"XDG_STATE_HOME", std::nullopt},
                         {"HOME", std::nullopt},
                         {"TMPDIR", (dir_ / "tmp").native()}});
    fallback.emplace(store::WorkspacePaths::from_vault_path(dir_ / "fb" / ".vornex" / "vault.cord").absolute());
  }
  const store::WorkspacePaths& at = *fallback;
  ASSERT_EQ(at.state_dir(), at.facts().fallback_state_dir);
  const auto records = must(cord::Set<core::VaultRecordV1>::from(base_records()));
  must(store::write_vault_bytes_atomic(at, must(core::validate::encode_vault(records))));
  must(store::write_ratchet_atomic(at, core::Ratchet::make(root_fingerprint().to_vec())));
  auto alice = must(ops::UnlockedSession::with_identity(must(ops::LockedSession::load(at, crypto(), kFastLocks)),
                                                        crypto(), identity_of(kAlice)));

  const auto x = sel({"app", "x"});
  const ops::ValueUpdate add_field = [](const ops::SecretPlaintext& current) {
    return ops::OpsResult<std::optional<core::SecretValueV1>>(current.with_field("user", bytes_of("u")));
  };
  struct Case {
    const char* name;
    std::vector<Rule> rules;
    std::function<bool()> write;  // whether it succeeded
  };
  const Case cases[] = {
      {"set", {}, [&] { return alice.set_secret(crypto(), x, bytes_of("v")).has_value(); }},
      {"update", {}, [&] { return alice.update_secret_value(crypto(), x, add_field).has_value(); }},
      {"delete", {}, [&] { return alice.delete_secret(crypto(), x).has_value(); }},
      // Failures build error texts from error numbers.
      {"failed set", {{"rename", 1, EIO}}, [&] { return alice.set_secret(crypto(), x, bytes_of("w")).has_value(); }},
      {"interrupted set",
       {{"open", 3, EINTR}, {"fsync", 2, EINTR}},
       [&] { return alice.set_secret(crypto(), x, bytes_of("w")).has_value(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Armed armed(c.rules);
    const bool written = c.write();
    armed.stop();
    EXPECT_EQ(written, c.rules.empty() || c.rules.front().error == EINTR);
    EXPECT_EQ(armed.fired(), static_cast<long>(c.rules.size()));
    EXPECT_EQ(armed.process_reads(), 0) << "first: " << armed.first_process_read();
  }
}

// A write that fails at any call of its commit leaves the session as it
// was: its ratchet, raised in place while the write runs, is lowered back,
// and its report and vault bytes are the ones it had.
TEST_F(SessionFaults, AFailedWriteLeavesTheSessionAsItWas) {
  standard_vault();
  const auto x = sel({"app", "x"});
  ASSERT_TRUE(must(unlock(kAlice)).set_secret(crypto(), x, bytes_of("v0")).has_value());
  long n = 1;
  int failed = 0;
  for (;; ++n) {
    SCOPED_TRACE(n);
    // Opened afresh, which completes or withdraws what the last failure left.
    auto alice = must(unlock(kAlice));
    const core::Ratchet ratchet = alice.session().ratchet;
    const core::validate::ValidationReport report = alice.session().report;
    const cord::Bytes vault = *alice.session().vault_bytes;
    Armed armed({{nullptr, n, EIO}});
    const auto written = alice.set_secret(crypto(), x, bytes_of("v" + std::to_string(n)));
    armed.stop();
    if (armed.fired() == 0) {
      EXPECT_TRUE(written.has_value());
      break;
    }
    if (written) continue;
    ++failed;
    EXPECT_EQ(alice.session().ratchet, ratchet);
    EXPECT_EQ(alice.session().report, report);
    EXPECT_EQ(*alice.session().vault_bytes, vault);
  }
  EXPECT_GT(failed, 20);
}

}  // namespace
