// vornex_test_writer: lays out workspaces for the Python tests and the demo.
// Test support only; never installed with the module.
//
// The system under test never creates a vault, users, grants or
// invitations, so the tests get them from here. Usage:
//
//   vornex_test_writer < description.json      a description on stdin
//   vornex_test_writer --scenario NAME DIR     a named scenario, laid out in DIR
//   vornex_test_writer --print-scenario NAME DIR   its description, not laid out
//
// On success it prints a JSON summary on stdout and exits 0; on failure a
// message on stderr and exit 1. Scenarios: "demo" (used by scripts/demo.sh).
//
// Description (every key but "workspace" is optional):
//
//   "workspace":    directory whose ".vornex/vault.cord" is written
//   "state_dir":    per-user state directory (default $VORNEX_STATE_DIR);
//                   set as VORNEX_STATE_DIR for the libraries, so every
//                   state path below lands in it
//   "keychain_dir": keychain directory (default $VORNEX_KEYCHAIN_DIR)
//   "users":        {"alice": 2, ...}  name -> seed byte; the master seed is
//                   32 copies of it. "root" is seed 1 and always present.
//                   Naming a user here does not enrol it (see "records").
//   "records":      steps, in order. Each record gets the next counter (1,
//                   2, ...) unless it says "counter". Every step signs with
//                   the root unless it says "by". "damage": "bad_signature"
//                   spoils the step's (first) record after signing.
//     {"user": "alice", "handle": "alice"}   user record, its entry point,
//                                            and a handle when given
//     {"handle": "al", "to": "alice", "conflict": "bob"}
//                                            a user handle; with "conflict"
//                                            a second one at the same counter
//                                            naming another user
//     {"group": "devs"}
//     {"member": "alice" | "group:ops", "of": "devs"}
//     {"grant": "read"|"write"|"manage"|"root", "to": "alice" | "group:devs",
//      "path": ["app"], "match": "prefix"|"exact"|"any", "labels": {"k": "v"}}
//     {"secret": "app/db", "value": "text" | "value_hex": "fffe",
//      "fields": {"name": "text"}, "fields_hex": {"name": "ff"},
//      "conflict": "other text"}
//                                            sealed to the readers that the
//                                            records before it make
//                                            effective; "conflict" adds a
//                                            second write at the same counter
//     {"delete": "app/db"}
//   "ratchet":      true: the trust file for the root, raised by what a
//                   validation of the written vault admits
//   "keychain":     [{"user": "alice", "passphrase": "pw"}]  identity files
//                   sealed at the cheapest accepted Argon2 parameters
//   "current_user": "alice" or {"user": "alice", "display": "@alice"}
//   "invites":      [{"user": "alice", "baseline": "full"|"self"|"empty"|"none"}]
//                   InviteV2; "full": the ratchet of a clean validation,
//                   "self": only the invitee's own counters, "empty": an
//                   empty list, "none": no baseline at all
//   "pending_transaction": {"workspace": DIR}
//                   a transaction file recorded for the vault of another
//                   workspace DIR (a copy of this vault is put there), whose
//                   images are the files as written
//
// Summary: {"workspace", "vornex_dir", "vault", "state_dir", "keychain_dir",
//   "root": {"id", "fingerprint"}, "users": {name: {"id", "seed"}},
//   "ratchet", "transaction", "root_state_lock" (paths, null when not
//   written), "invites": {name: {"text": Bech32m text or null when longer
//   than 1023 characters, "text_bech32": the same with a Bech32 checksum,
//   "binary": hex of the binary form}}}.
// Ids, seeds and fingerprints are lower-case hex.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "vault_builder.hpp"
#include "vornex/core/crypto.hpp"
#include "vornex/core/invite.hpp"
#include "vornex/core/validate/pipeline.hpp"
#include "vornex/core/validate/vault_file.hpp"
#include "vornex/crypto/signed_records.hpp"
#include "vornex/frontend/selector.hpp"
#include "vornex/keychain/files.hpp"
#include "vornex/ops/seal.hpp"
#include "vornex/ops/secrets.hpp"
#include "vornex/ops/transaction.hpp"
#include "vornex/store/fs.hpp"
#include "vornex/store/paths.hpp"
#include "vornex/store/ratchet_file.hpp"
#include "vornex/store/transaction.hpp"
#include "bech32m.hpp"
#include "keychain_seal.hpp"

namespace {

using namespace vornex;
using json = nlohmann::json;
namespace fs = std::filesystem;

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

template <class T, class E>
T must(std::expected<T, E> result, const std::string& what) {
  if (!result) throw Failure(what + ": " + result.error().message());
  return std::move(*result);
}
template <class E>
void must(std::expected<void, E> result, const std::string& what) {
  if (!result) throw Failure(what + ": " + result.error().message());
}

std::string hex(cord::ByteView bytes) { return keychain::hex_bytes(bytes); }

cord::Bytes from_hex(const std::string& text) {
  if (text.size() % 2 != 0) throw Failure("odd hex length: " + text);
  cord::Bytes out;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  }
  return out;
}

cord::Bytes bytes_of(const std::string& text) { return cord::Bytes(text.begin(), text.end()); }

// The member, or an empty object or array that outlives any loop over it.
const json& member_or_empty(const json& object, const char* key, bool array) {
  static const json kEmptyObject = json::object();
  static const json kEmptyArray = json::array();
  if (object.contains(key)) return object[key];
  return array ? kEmptyArray : kEmptyObject;
}

class Writer {
 public:
  explicit Writer(const json& d) : d_(d) {
    if (!d.contains("workspace")) throw Failure("the description needs \"workspace\"");
    workspace_ = fs::absolute(d["workspace"].get<std::string>());
    // The libraries read these directories from the environment.
    if (d.contains("state_dir")) setenv("VORNEX_STATE_DIR", d["state_dir"].get<std::string>().c_str(), 1);
    if (d.contains("keychain_dir")) setenv("VORNEX_KEYCHAIN_DIR", d["keychain_dir"].get<std::string>().c_str(), 1);
    paths_.emplace(store::WorkspacePaths::from_vault_path(workspace_ / store::kWorkspaceDirName / store::kVaultFileName)
                       .absolute());
    names_["root"] = 1;
    for (const auto& [name, seed] : member_or_empty(d, "users", false).items()) {
      const int value = seed.get<int>();
      if (value < 1 || value > 255) throw Failure("seed of " + name + " must be 1 to 255");
      // The root signs the vault root record, which the builder makes from seed 1.
      if (name == "root" && value != 1) throw Failure("the root's seed is 1");
      names_[name] = static_cast<std::uint8_t>(value);
    }
    fingerprint_ = b_.selected_root().fingerprint;
  }

  json run() {
    records_.push_back(b_.vault_root());
    for (const json& step : member_or_empty(d_, "records", true)) add_step(step);
    const auto set = must(cord::Set<core::VaultRecordV1>::from(records_), "record set");
    vault_bytes_ = must(core::validate::encode_vault(set), "vault encoding");
    must(store::write_vault_bytes_atomic(*paths_, vault_bytes_), "vault file");

    json summary = {{"workspace", paths_->root().native()},
                    {"vornex_dir", paths_->vornex_dir().native()},
                    {"vault", paths_->vault_path().native()},
                    {"state_dir", paths_->state_dir().native()},
                    {"keychain_dir", keychain_base().native()},
                    {"root", {{"id", hex(b_.root().user_id().bytes())}, {"fingerprint", hex(fingerprint_.bytes())}}},
                    {"ratchet", nullptr},
                    {"transaction", nullptr},
                    {"root_state_lock", store::root_state_lock_path(*paths_, fingerprint_).native()},
                    {"invites", json::object()}};
    for (const auto& [name, seed] : names_) {
      summary["users"][name] = {{"id", hex(b_.identity(seed).user_id().bytes())},
                                {"seed", hex(b_.identity(seed).master_seed().view())}};
    }
    if (d_.value("ratchet", false)) {
      must(store::write_ratchet_atomic(*paths_, admitted_ratchet()), "ratchet file");
      summary["ratchet"] = store::ratchet_path(*paths_, fingerprint_).native();
    }
    for (const json& entry : member_or_empty(d_, "keychain", true)) write_identity(entry);
    if (d_.contains("current_user")) write_current_user(d_["current_user"]);
    for (const json& entry : member_or_empty(d_, "invites", true)) {
      const json wanted = entry.is_string() ? json{{"user", entry}} : entry;
      summary["invites"][wanted.at("user").get<std::string>()] = invite(wanted);
    }
    if (d_.contains("pending_transaction")) {
      write_pending_transaction(d_["pending_transaction"]);
      summary["transaction"] = store::transaction_path(*paths_, fingerprint_).native();
    }
    return summary;
  }

 private:
  const crypto::Identity& who(const std::string& name) const {
    const auto found = names_.find(name);
    if (found == names_.end()) throw Failure("unknown user " + name);
    return b_.identity(found->second);
  }
  const crypto::Identity& signer(const json& step) const { return who(step.value("by", std::string("root"))); }

  core::PrincipalRefV1 principal(const std::string& name) const {
    if (name.starts_with("group:")) return b_.group_id(name.substr(6));
    return who(name).user_id();
  }

  std::uint64_t counter(const json& step) {
    if (step.contains("counter")) {
      const auto given = step["counter"].get<std::uint64_t>();
      next_ = std::max(next_, given + 1);
      return given;
    }
    return next_++;
  }

  static core::SecretSelectorV1 selector(const std::string& text) {
    return ops::normalize_selector(must(frontend::parse_secret_selector(text), "selector " + text));
  }

  core::validate::ValidationReport validate() const {
    const auto set = must(cord::Set<core::VaultRecordV1>::from(records_), "record set");
    return must(core::validate::validate_vault(set, core::Ratchet::make(fingerprint_.to_vec()), b_.crypto()),
                "validation");
  }

  // Trust as a clean open would leave it: the root, raised by the counters
  // a validation admits.
  core::Ratchet admitted_ratchet() const {
    core::Ratchet ratchet = core::Ratchet::make(fingerprint_.to_vec());
    ratchet.apply_update(validate().ratchet_update);
    return ratchet;
  }

  void add_step(const json& step) {
    const std::size_t first = records_.size();
    bool keeps_readers = false;
    if (step.contains("user")) {
      const crypto::Identity& user = who(step["user"]);
      records_.push_back(b_.user(signer(step), user, counter(step)));
      records_.push_back(b_.entry_point(user, counter(step)));
      if (step.contains("handle")) {
        records_.push_back(b_.user_handle(signer(step), step["handle"], user.user_id(), counter(step)));
      }
    } else if (step.contains("handle")) {
      const std::uint64_t at = counter(step);
      records_.push_back(b_.user_handle(signer(step), step["handle"], who(step.at("to")).user_id(), at));
      if (step.contains("conflict")) {
        records_.push_back(b_.user_handle(signer(step), step["handle"], who(step["conflict"]).user_id(), at));
      }
    } else if (step.contains("group")) {
      records_.push_back(b_.group(signer(step), step["group"], counter(step)));
    } else if (step.contains("member")) {
      records_.push_back(
          b_.member(signer(step), b_.group_id(step.at("of")), principal(step["member"]), counter(step)));
    } else if (step.contains("grant")) {
      records_.push_back(b_.grant(signer(step), "grant-" + std::to_string(records_.size()),
                                  principal(step.at("to")), permission(step), counter(step)));
    } else if (step.contains("secret")) {
      const core::SecretSelectorV1 named = selector(step["secret"]);
      const std::uint64_t at = counter(step);
      keeps_readers = true;
      records_.push_back(secret(signer(step), named, value(step, false), at));
      if (step.contains("conflict")) records_.push_back(secret(signer(step), named, value(step, true), at));
    } else if (step.contains("delete")) {
      records_.push_back(
          must(crypto::secret_deleted_record(b_.crypto(), signer(step), selector(step["delete"]), counter(step)),
               "deletion"));
    } else {
      throw Failure("unknown step " + step.dump());
    }
    if (step.value("damage", std::string()) == "bad_signature") {
      records_[first] = test::VaultBuilder::with_bad_signature(records_[first]);
    } else if (step.contains("damage")) {
      throw Failure("unknown damage " + step["damage"].dump());
    }
    // Only users, groups and grants decide who reads a secret, so a run of
    // clean secret steps can seal against one validation; anything else
    // forgets it.
    if (!keeps_readers || step.contains("damage")) sealing_report_.reset();
  }

  static core::GrantPermissionV1 permission(const json& step) {
    const std::string kind = step["grant"];
    if (kind == "root") return test::root_permission();
    const std::string match = step.value("match", std::string("prefix"));
    std::vector<std::string> path = step.value("path", std::vector<std::string>{});
    core::KeyspaceSelectorV1 keyspace;
    if (match == "any") keyspace.tuple = core::tuple_matcher::Any{};
    else if (match == "exact") keyspace.tuple = core::tuple_matcher::Exact{std::move(path)};
    else if (match == "prefix") keyspace.tuple = core::tuple_matcher::Prefix{std::move(path)};
    else throw Failure("unknown match " + match);
    for (const auto& [key, wanted] : member_or_empty(step, "labels", false).items()) {
      keyspace.labels.push_back(core::KeyspaceLabelMatcherV1{key, core::label_matcher::Equals{wanted}});
    }
    if (kind == "read") return test::read_permission(std::move(keyspace));
    if (kind == "write") return test::write_permission(std::move(keyspace));
    if (kind == "manage") return test::manage_permission(std::move(keyspace));
    throw Failure("unknown grant " + kind);
  }

  static cord::Bytes primary(const json& step, bool second) {
    if (second) return bytes_of(step["conflict"].get<std::string>());
    if (step.contains("value_hex")) return from_hex(step["value_hex"]);
    return bytes_of(step.value("value", std::string()));
  }

  static core::SecretValueV1 value(const json& step, bool second) {
    std::vector<core::SecretFieldEntryV1> fields;
    for (const auto& [name, text] : member_or_empty(step, "fields", false).items()) {
      fields.push_back({name, bytes_of(text.get<std::string>())});
    }
    for (const auto& [name, text] : member_or_empty(step, "fields_hex", false).items()) {
      fields.push_back({name, from_hex(text.get<std::string>())});
    }
    return core::SecretValueV1{primary(step, second),
                               must(cord::Set<core::SecretFieldEntryV1>::from(std::move(fields)), "fields")};
  }

  // Sealed as a writer would seal it now: to every reader that the records
  // so far make effective. The validation is shared by a run of secrets
  // (see add_step): one per secret would make large vaults quadratic to build.
  core::VaultRecordV1 secret(const crypto::Identity& by, const core::SecretSelectorV1& named,
                             const core::SecretValueV1& value, std::uint64_t at) {
    const core::SecretId id = b_.secret_id(named);
    const ops::RecordContext context{core::record_key::Secret{id}, by.signing_public_key(), id, named, at};
    if (!sealing_report_) sealing_report_ = validate();
    auto payload = must(ops::seal_secret_payload(sealing_report_->effective, context, value), "sealing");
    return must(crypto::secret_record(b_.crypto(), by, named, std::move(payload), at), "secret record");
  }

  fs::path keychain_base() const { return must(keychain::default_base_dir(), "keychain directory"); }

  void write_identity(const json& entry) const {
    const crypto::Identity& user = who(entry.at("user"));
    const cord::Bytes root = fingerprint_.to_vec();
    const cord::Bytes id = user.user_id().to_vec();
    const std::string passphrase = entry.value("passphrase", std::string());
    must(keychain::write_identity_exact(keychain::identity_path(keychain_base(), root, id), root, id,
                                        test::seal_identity(passphrase, root, id, user.master_seed().view())),
         "identity file");
  }

  void write_current_user(const json& entry) const {
    const json wanted = entry.is_string() ? json{{"user", entry}} : entry;
    keychain::CurrentUserV1 current{who(wanted.at("user")).user_id().to_vec(), std::nullopt};
    if (wanted.contains("display")) current.selector = wanted["display"].get<std::string>();
    must(keychain::write_current_user_exact(keychain::current_user_path(keychain_base(), fingerprint_.bytes()),
                                            current),
         "current user");
  }

  json invite(const json& wanted) const {
    const crypto::Identity& user = who(wanted.at("user"));
    const std::string kind = wanted.value("baseline", std::string("full"));
    std::optional<core::RatchetBaselineV1> baseline;
    if (kind == "full" || kind == "self") {
      baseline.emplace();
      for (const core::RatchetRecordV1& record : admitted_ratchet().to_records()) {
        if (std::holds_alternative<core::TrustedRootRatchetRecordV1>(record)) continue;
        const auto key = core::ratchet_record_key(record);
        const bool own = key && (*key == core::RecordKey(core::record_key::User{user.user_id()}) ||
                                 *key == core::RecordKey(core::record_key::EntryPoint{user.user_id()}));
        if (kind == "full" || own) baseline->records.push_back(record);
      }
    } else if (kind == "empty") {
      baseline.emplace();
    } else if (kind != "none") {
      throw Failure("unknown baseline " + kind);
    }
    const core::Invite invitation =
        core::InviteV2{core::SecretBytes(user.master_seed().view()), fingerprint_, std::move(baseline)};
    const cord::Bytes encoded = must(cord::serialize(invitation), "invitation");
    cord::Bytes binary = bytes_of(std::string("vornex-invite"));
    binary.push_back(0);
    binary.insert(binary.end(), encoded.begin(), encoded.end());
    const std::string text = test::bech32m_encode("vrnx", encoded);
    const std::string bech32 = test::bech32m_encode("vrnx", encoded, 1);
    return {{"text", text.size() <= 1023 ? json(text) : json(nullptr)},
            {"text_bech32", bech32.size() <= 1023 ? json(bech32) : json(nullptr)},
            {"binary", hex(binary)}};
  }

  void write_pending_transaction(const json& wanted) const {
    const fs::path other = fs::absolute(wanted.at("workspace").get<std::string>()) / store::kWorkspaceDirName;
    fs::create_directories(other);
    const fs::path recorded = other / store::kVaultFileName;
    fs::copy_file(paths_->vault_path(), recorded, fs::copy_options::overwrite_existing);
    const auto ratchet = store::read_file_bounded(store::ratchet_path(*paths_, fingerprint_), 1 << 26);
    const cord::Bytes next_ratchet =
        ratchet ? *ratchet : must(store::encode_ratchet(core::Ratchet::make(fingerprint_.to_vec())), "ratchet");
    const store::TransactionV1 transaction{
        cord::Bytes(32, 0xab),
        fingerprint_,
        must(store::NativePathV1::canonical(recorded), "recorded path"),
        std::string(ops::kVaultMutationLabel),
        store::FilePreconditionV1::Hash{ops::transaction_hash(b_.crypto(), vault_bytes_)},
        ratchet ? store::FilePreconditionV1(
                      store::FilePreconditionV1::Hash{ops::transaction_hash(b_.crypto(), *ratchet)})
                : store::FilePreconditionV1(store::FilePreconditionV1::Absent{}),
        vault_bytes_,
        next_ratchet};
    must(store::write_transaction_atomic(*paths_, transaction), "transaction file");
  }

  const json& d_;
  fs::path workspace_;
  std::optional<store::WorkspacePaths> paths_;
  test::VaultBuilder b_;
  std::map<std::string, std::uint8_t> names_;
  core::HashValue fingerprint_;
  std::vector<core::VaultRecordV1> records_;
  // The validation secrets are sealed against, while only secrets follow it.
  std::optional<core::validate::ValidationReport> sealing_report_;
  std::uint64_t next_ = 1;
  cord::Bytes vault_bytes_;
};

// The demo: a root, alice who writes below "app" and bob who reads there,
// two secrets, and a text invitation for alice.
json demo_scenario(const fs::path& dir) {
  return {
      {"workspace", (dir / "project").native()},
      {"state_dir", (dir / "state").native()},
      {"keychain_dir", (dir / "keychain").native()},
      {"users", {{"alice", 2}, {"bob", 3}}},
      {"records",
       json::array({
           {{"user", "alice"}, {"handle", "alice"}},
           {{"user", "bob"}, {"handle", "bob"}},
           {{"grant", "write"}, {"to", "alice"}, {"path", {"app"}}},
           {{"grant", "read"}, {"to", "bob"}, {"path", {"app"}}},
           {{"secret", "app/db"}, {"value", "s3cret-password"}, {"fields", {{"user", "app"}, {"host", "db.internal"}}}},
           {{"secret", "app/api-key@env=prod"}, {"value", "key-live-0001"}},
       })},
      {"ratchet", false},
      {"invites", json::array({{{"user", "alice"}, {"baseline", "self"}}})},
  };
}

json scenario(const std::string& name, const fs::path& dir) {
  if (name == "demo") return demo_scenario(dir);
  throw Failure("unknown scenario " + name);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::vector<std::string> args(argv + 1, argv + argc);
    json description;
    if (args.size() == 3 && (args[0] == "--scenario" || args[0] == "--print-scenario")) {
      description = scenario(args[1], fs::absolute(args[2]));
      if (args[0] == "--print-scenario") {
        std::cout << description.dump(2) << "\n";
        return 0;
      }
    } else if (args.empty()) {
      description = json::parse(std::cin);
    } else {
      std::cerr << "usage: vornex_test_writer < description.json\n"
                   "       vornex_test_writer --scenario NAME DIR\n"
                   "       vornex_test_writer --print-scenario NAME DIR\n";
      return 2;
    }
    Writer writer(description);
    std::cout << writer.run().dump() << "\n";
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "vornex_test_writer: " << e.what() << "\n";
    return 1;
  }
}
