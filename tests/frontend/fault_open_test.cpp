// Opening a vault runs without the interpreter lock, while another thread
// may change the environment or the current directory: on every road, what
// the opening needs of the process is read first (read_opening_facts), and
// nothing the opening itself reaches reads process-wide state, on success
// or on failure: not even the current directory through a relative path,
// which a case changes between reading the facts and opening.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "faults/faults.hpp"
#include "keychain_seal.hpp"
#include "ops_vault.hpp"
#include "vornex/core/hex.hpp"
#include "vornex/frontend/runtime.hpp"
#include "vornex/frontend/vault.hpp"
#include "vornex/keychain/files.hpp"

namespace {

using namespace vornex;
using namespace vornex::test::data;
using test::ScopedEnv;
using test::faults::Armed;

constexpr std::string_view kPassphrase = "opening without the lock";

class OpeningFaults : public OpsVaultTest {
 protected:
  void store_identity(std::uint8_t seed) const {
    const cord::Bytes root = root_fingerprint().to_vec();
    const cord::Bytes user = id(seed).user_id().to_vec();
    must(keychain::write_identity_exact(keychain::identity_path(keychain_dir(), root, user), root, user,
                                        test::seal_identity(kPassphrase, root, user, id(seed).master_seed().view())));
  }
  void make_current(std::uint8_t seed) const {
    must(keychain::write_current_user_exact(keychain::current_user_path(keychain_dir(), root_fingerprint().to_vec()),
                                            keychain::CurrentUserV1{id(seed).user_id().to_vec(), std::nullopt}));
  }
  // The binary form of an invitation of `seed` to this vault, in a file.
  std::string invitation_file(std::uint8_t seed) const {
    core::Invite invite = core::InviteV2{core::SecretBytes(cord::Bytes(32, seed)), root_fingerprint(), std::nullopt};
    cord::Bytes bytes(frontend::kInviteMagic.begin(), frontend::kInviteMagic.end());
    must(cord::serialize_into(bytes, invite));
    const auto path = dir_ / ("invite-" + std::to_string(seed) + ".bin");
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return path.native();
  }
};

frontend::AuthInner keychain_road(std::optional<std::string> user, std::optional<std::string_view> passphrase) {
  frontend::auth::Keychain road{std::move(user), std::nullopt};
  if (passphrase) road.passphrase.emplace(std::string(*passphrase));
  return road;
}

TEST_F(OpeningFaults, OpeningsReadNothingProcessWide) {
  standard_vault();
  store_identity(kAlice);
  store_identity(kBob);
  const std::string bob_invite = invitation_file(kBob);
  const std::string vornex_dir = (dir_ / "ws" / ".vornex").native();
  const std::string alice_hex = core::hex_lower(id(kAlice).user_id().bytes());

  struct Case {
    const char* name;
    frontend::AuthInner auth;
    std::vector<std::pair<std::string, std::optional<std::string>>> env;
    bool current_alice;
    bool opens;
    bool facts_in_test_dir = false;  // read with the test's directory current, then left
  };
  const std::string relative_invite = std::filesystem::path(bob_invite).filename().native();
  const Case cases[] = {
      {"keychain, named user", keychain_road(alice_hex, kPassphrase), {}, false, true},
      {"keychain, current user", keychain_road(std::nullopt, kPassphrase), {}, true, true},
      {"keychain, the unattended invitation's user", keychain_road(std::nullopt, kPassphrase),
       {{"VORNEX_UNSAFE_INVITE_FILE", bob_invite}}, false, true},
      {"keychain, wrong passphrase", keychain_road(alice_hex, "not it"), {}, false, false},
      {"keychain, no default user", keychain_road(std::nullopt, kPassphrase), {}, false, false},
      {"invitation", frontend::auth::Invite{frontend::invite_source::Text{frontend::SecretText("vrnx1garbage")}},
       {}, false, false},
      {"environment, file", frontend::auth::Env{"VX_OPEN_TEXT", "VX_OPEN_FILE"},
       {{"VX_OPEN_FILE", bob_invite}, {"VX_OPEN_TEXT", std::nullopt}}, false, true},
      {"environment, neither", frontend::auth::Env{"VX_OPEN_TEXT", "VX_OPEN_FILE"},
       {{"VX_OPEN_FILE", std::nullopt}, {"VX_OPEN_TEXT", std::nullopt}}, false, false},
      {"environment, missing file", frontend::auth::Env{"VX_OPEN_TEXT", "VX_OPEN_FILE"},
       {{"VX_OPEN_FILE", (dir_ / "gone.bin").native()}, {"VX_OPEN_TEXT", std::nullopt}}, false, false},
      {"environment, relative file", frontend::auth::Env{"VX_OPEN_TEXT", "VX_OPEN_FILE"},
       {{"VX_OPEN_FILE", relative_invite}, {"VX_OPEN_TEXT", std::nullopt}}, false, true, true},
      {"keychain, the unattended invitation's user, relative file", keychain_road(std::nullopt, kPassphrase),
       {{"VORNEX_UNSAFE_INVITE_FILE", relative_invite}}, false, true, true},
      {"keychain, empty keychain directory", keychain_road(alice_hex, kPassphrase), {{"VORNEX_KEYCHAIN_DIR", ""}},
       false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(keychain::current_user_path(keychain_dir(), root_fingerprint().to_vec()));
    if (c.current_alice) make_current(kAlice);
    std::vector<std::pair<std::string, std::optional<std::string>>> env = c.env;
    for (const char* unattended : {"VORNEX_UNSAFE_INVITE", "VORNEX_UNSAFE_INVITE_FILE"}) {
      if (std::none_of(env.begin(), env.end(), [&](const auto& e) { return e.first == unattended; })) {
        env.emplace_back(unattended, std::nullopt);
      }
    }
    const ScopedEnv scoped(env);
    const std::filesystem::path before = std::filesystem::current_path();
    if (c.facts_in_test_dir) std::filesystem::current_path(dir_);
    const auto facts = frontend::read_opening_facts(vornex_dir, c.auth);
    std::filesystem::current_path(before);
    ASSERT_TRUE(facts.has_value()) << facts.error().message;
    Armed armed;
    const auto opened = frontend::open_vault(*facts, c.auth, crypto());
    armed.stop();
    EXPECT_EQ(opened.has_value(), c.opens) << (opened ? "" : opened.error().message);
    EXPECT_EQ(armed.process_reads(), 0) << "first: " << armed.first_process_read();
  }
}

}  // namespace
