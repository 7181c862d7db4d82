#include "vault_program.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

#include "vornex/core/crypto.hpp"
#include "vornex/core/validate/structure.hpp"
#include "vornex/crypto/identity.hpp"

namespace vornex::test {

namespace {

using namespace core;
using validate::HashedRecord;

constexpr std::size_t kPathSegments = 6;
// Path count bytes 0xC0-0xCF start a deep path.
constexpr std::uint8_t kDeepPathMask = 0xF0;
constexpr std::uint8_t kDeepPath = 0xC0;
constexpr std::uint8_t kDeepHeadMask = 7;
constexpr std::uint8_t kDeepTail = 8;
constexpr std::size_t kLabelMatchers = 8;
constexpr std::size_t kListTexts = 4;
constexpr std::size_t kBlockInstructions = 8;
constexpr std::uint8_t kWideBase = 31;
constexpr std::uint8_t kShortRepeat = 0x80;
// Text made while reading operands, over the whole program: a 16-bit
// count of values inside a repeat could otherwise make gigabytes of
// strings that are thrown away as too large.
constexpr std::size_t kMaxMaterial = std::size_t{2} << 20;
constexpr std::size_t kSignatureSize = 64;
constexpr std::size_t kPaddedDigits = 6;

// Where a repeat is: t iterations done, r instructions run, k iterations.
struct Frame {
  std::size_t t = 0;
  std::size_t r = 0;
  std::size_t k = 1;
};

class Interpreter {
 public:
  // With `sites`, a dry run: nothing is built, each repeat's body runs
  // once, and every part read is listed there.
  Interpreter(std::span<const std::uint8_t> program, const VaultBuilder& b, ProgramSignatures signatures,
              std::vector<ProgramSite>* sites = nullptr)
      : in_(program), b_(b), signatures_(signatures), sites_(sites) {}

  ProgramVault run() {
    emit(b_.root(), VaultRootRecordV1{b_.root().user_id(), b_.root().hpke_public_key()});
    while (pos_ < in_.size() && !stopped()) step();
    finish();
    return std::move(out_);
  }

 private:
  // Lists the part read while it lives, in a dry run.
  class Site {
   public:
    Site(Interpreter& in, ProgramSiteKind kind, ProgramOp op = ProgramOp::Order) : in_(in) {
      if (in_.sites_ == nullptr || in_.pos_ >= in_.in_.size()) return;
      at_ = in_.sites_->size();
      in_.sites_->push_back(ProgramSite{kind, op, static_cast<std::uint32_t>(in_.pos_),
                                        static_cast<std::uint32_t>(in_.pos_), in_.depth_});
      ++in_.depth_;
    }
    ~Site() {
      if (at_ == kNone) return;
      (*in_.sites_)[at_].end = static_cast<std::uint32_t>(std::min(in_.pos_, in_.in_.size()));
      --in_.depth_;
    }
    Site(const Site&) = delete;
    Site& operator=(const Site&) = delete;

   private:
    static constexpr std::size_t kNone = SIZE_MAX;
    Interpreter& in_;
    std::size_t at_ = kNone;
  };

  bool dry() const { return sites_ != nullptr; }

  bool stopped() const { return full_ || steps_ >= kProgramMaxSteps || material_ > kMaxMaterial; }

  // --- Reading -------------------------------------------------------------

  std::uint8_t byte() { return pos_ < in_.size() ? in_[pos_++] : 0; }
  std::uint16_t u16() {
    const std::uint16_t low = byte();
    return static_cast<std::uint16_t>(low | (byte() << 8));
  }

  const Frame& frame(std::size_t outer) const {
    static const Frame none;
    return frames_.size() > outer ? frames_[frames_.size() - 1 - outer] : none;
  }

  std::size_t index(unsigned mode) const {
    const Frame& f = frame(0);
    switch (mode & 7) {
      case 1: return f.t;
      case 2: return f.r;
      case 3: return f.k - 1 - f.t;
      case 4: return frame(1).t;
      case 5: return frame(1).r;
      case 6: return f.k;
      case 7: return f.t / 2;
      default: return 0;
    }
  }

  struct NumParts {
    std::uint64_t base;
    std::uint64_t index;
  };
  NumParts num_parts() {
    const Site site(*this, ProgramSiteKind::Num);
    const std::uint8_t b = byte();
    const std::uint64_t base = (b >> 3) == kWideBase ? u16() : (b >> 3);
    return {base, index(b & 7)};
  }
  std::uint64_t num() {
    const NumParts n = num_parts();
    return n.base + n.index;
  }

  std::string text() {
    const Site site(*this, ProgramSiteKind::Text);
    const std::uint8_t b = byte();
    std::string out(kProgramWords[b & 0x1f]);
    const Frame& f = frame(0);
    const auto padded = [](std::size_t n) {
      char digits[24];
      std::snprintf(digits, sizeof digits, "%0*zu", static_cast<int>(kPaddedDigits), n);
      return std::string(digits);
    };
    switch (b >> 5) {
      case 0: break;
      case 5: out += padded(f.t); break;
      case 6: out += padded(f.r); break;
      case 7: out += std::to_string(f.t / 2); break;
      default: out += std::to_string(index(b >> 5)); break;
    }
    material_ += out.size() + 4;
    return out;
  }

  // The base tells the builder's users from the numbered ones, so that an
  // index that grows past kNumberedUserBase still wraps among the first.
  const crypto::Identity& user() {
    const NumParts n = num_parts();
    // A dry run derives no keys.
    if (dry()) return b_.root();
    if (n.base < kNumberedUserBase) {
      return program_user(b_, static_cast<std::size_t>((n.base + n.index) % (kBuilderUsers + 1)));
    }
    const std::uint64_t numbered = n.base - kNumberedUserBase + n.index;
    return program_user(b_, kBuilderUsers + 1 + static_cast<std::size_t>(numbered % kNumberedUsers));
  }

  const GroupId& group() { return group_named(num()); }

  PrincipalRefV1 principal() {
    if (byte() & 1) return group();
    return user().user_id();
  }

  std::vector<std::string> path() {
    const Site site(*this, ProgramSiteKind::Path);
    const std::uint8_t b = byte();
    if ((b & kDeepPathMask) != kDeepPath) {
      std::vector<std::string> out(b % kPathSegments);
      for (std::string& segment : out) segment = text();
      return out;
    }
    std::vector<std::string> out(b & kDeepHeadMask);
    for (std::string& segment : out) segment = text();
    const std::size_t depth = std::min<std::uint64_t>(num(), kProgramMaxDepth);
    const std::string filler = text();
    material_ += depth * (filler.size() + 4);
    out.insert(out.end(), depth, filler);
    if ((b & kDeepTail) != 0) out.push_back(text());
    return out;
  }

  std::vector<std::string> list() {
    std::vector<std::string> values(byte() % kListTexts);
    for (std::string& value : values) value = text();
    const std::string word = text();
    std::size_t count = 0;
    {
      const Site site(*this, ProgramSiteKind::ListCount);
      count = u16();
    }
    if (dry()) count = 0;
    for (std::size_t i = 0; i < count && !stopped(); ++i) {
      values.push_back(word + std::to_string(i));
      material_ += values.back().size() + 4;
    }
    std::ranges::sort(values);
    values.erase(std::unique(values.begin(), values.end()), values.end());
    return values;
  }

  static std::size_t weight_of(const LabelMatcherV1& matcher) {
    if (const auto* equals = std::get_if<label_matcher::Equals>(&matcher)) return equals->value.size() + 4;
    std::size_t weight = 0;
    if (const auto* in = std::get_if<label_matcher::In>(&matcher)) {
      for (const std::string& value : in->values) weight += value.size() + 4;
    }
    return weight;
  }

  std::vector<KeyspaceLabelMatcherV1> labels(bool as_written) {
    const Site labels_site(*this, ProgramSiteKind::Labels);
    std::vector<KeyspaceLabelMatcherV1> out;
    const std::size_t count = byte() % kLabelMatchers;
    for (std::size_t m = 0; m < count; ++m) {
      const Site matcher_site(*this, ProgramSiteKind::Matcher);
      const std::uint8_t kind = byte();
      std::size_t keys = 0;
      if ((kind & 4) != 0) {
        const Site site(*this, ProgramSiteKind::KeyCount);
        keys = u16();
      }
      if (dry()) keys = 0;
      const std::string key = text();
      LabelMatcherV1 matcher = label_matcher::Present{};
      switch (kind & 3) {
        case 0: break;
        case 1: matcher = label_matcher::Equals{text()}; break;
        case 2: matcher = label_matcher::In{list()}; break;
        default: matcher = label_matcher::Absent{}; break;
      }
      if ((kind & 4) == 0) {
        out.push_back({key, std::move(matcher)});
        continue;
      }
      // Each key carries a copy of the matcher, values and all.
      const std::size_t weight = key.size() + kPaddedDigits + 8 + weight_of(matcher);
      for (std::size_t i = 0; i < keys && !stopped(); ++i) {
        char digits[24];
        std::snprintf(digits, sizeof digits, "%0*zu", static_cast<int>(kPaddedDigits), i);
        out.push_back({key + digits, matcher});
        material_ += weight;
      }
    }
    if (!as_written) {
      // A range of keys comes sorted already; sorting it again is most of
      // a long program's time under the fuzzer's instrumentation.
      if (!std::ranges::is_sorted(out, {}, &KeyspaceLabelMatcherV1::key)) {
        std::ranges::stable_sort(out, {}, &KeyspaceLabelMatcherV1::key);
      }
      const auto same_key = [](const auto& a, const auto& c) { return a.key == c.key; };
      out.erase(std::unique(out.begin(), out.end(), same_key), out.end());
    }
    return out;
  }

  KeyspaceSelectorV1 selector() {
    const std::uint8_t b = byte();
    KeyspaceSelectorV1 out{tuple_matcher::Any{}, {}};
    switch (b % 3) {
      case 1: out.tuple = tuple_matcher::Exact{path()}; break;
      case 2: out.tuple = tuple_matcher::Prefix{path()}; break;
      default: break;
    }
    out.labels = labels((b & 0x80) != 0);
    return out;
  }

  GrantPermissionV1 permission() {
    const Site site(*this, ProgramSiteKind::Permission);
    switch (byte() % 4) {
      case 0: return grant_permission::Read{selector()};
      case 1: return grant_permission::Write{selector()};
      case 2: {
        ManageKeyspaceGrantV1 manage{selector(), {}};
        const std::uint8_t classes = byte();
        if (classes & 1) manage.grantable.emplace_back(grant_class::Read{});
        if (classes & 2) manage.grantable.emplace_back(grant_class::Write{});
        if (classes & 4) manage.grantable.emplace_back(grant_class::Manage{});
        return manage;
      }
      default: return grant_permission::Root{};
    }
  }

  // A secret's selector: the path, then each matcher as a label (Equals
  // its value, In its first value, the others "1").
  SecretSelectorV1 secret_selector() {
    SecretSelectorV1 out{path(), {}};
    for (KeyspaceLabelMatcherV1& m : labels(false)) {
      std::string value = "1";
      if (auto* equals = std::get_if<label_matcher::Equals>(&m.matcher)) value = std::move(equals->value);
      if (auto* in = std::get_if<label_matcher::In>(&m.matcher); in != nullptr && !in->values.empty()) {
        value = std::move(in->values.front());
      }
      out.labels.push_back({std::move(m.key), std::move(value)});
    }
    return out;
  }

  // The index of a record made so far, or none before any.
  std::optional<std::size_t> ref() {
    const bool from_first = (byte() & 1) != 0;
    const std::uint64_t n = num();
    const std::size_t size = out_.records.size();
    if (size == 0) return std::nullopt;
    const std::size_t at = static_cast<std::size_t>(n % size);
    return from_first ? at : size - 1 - at;
  }

  // --- Records -------------------------------------------------------------

  // A payload no reader opens: validation reads only its recipients; the
  // marker makes two writes of one secret differ.
  SealedPayloadV1 payload(const crypto::Identity& signer) {
    cord::Bytes nonce(12, 0);
    const std::uint64_t marker = ++payloads_;
    for (std::size_t i = 0; i < 8; ++i) nonce[i] = static_cast<std::uint8_t>(marker >> (8 * i));
    return SealedPayloadV1{std::move(nonce), cord::Bytes(24, 9),
                           {RecipientSlotV1{signer.user_id().to_vec(), cord::Bytes(32, 3), cord::Bytes(48, 4)}}};
  }

  void emit(const crypto::Identity& signer, RecordBodyV1 body) {
    if (stopped() || dry()) return;
    VaultRecordV1 record = signatures_ == ProgramSignatures::Real
                               ? b_.sign(signer, std::move(body))
                               : VaultRecordV1{cord::Evolving<RecordBodyV1>(std::move(body)),
                                               signer.signing_public_key(), cord::Bytes(kSignatureSize, 0)};
    auto encoded = cord::serialize(record);
    if (!encoded) return;
    if (out_.records.size() >= kProgramMaxRecords || out_.bytes + encoded->size() > kProgramMaxBytes) {
      full_ = true;
      return;
    }
    HashValue hash = b_.crypto().hash(domains::kRecordHash, *encoded);
    if (!made_.insert(hash).second) return;
    out_.bytes += encoded->size();
    out_.verified.insert(hash);
    out_.records.push_back(HashedRecord{std::move(record), {}, std::move(hash), {}});
    signers_.push_back(&signer);
  }

  void enrol(const crypto::Identity& signer, const crypto::Identity& who, std::uint64_t counter) {
    emit(signer, UserRecordV1{who.user_id(), who.signing_public_key(), who.hpke_public_key(), counter});
    if (&who != &b_.root() && entered_.insert(&who).second) {
      emit(who, EntryPointRecordV1{b_.root().user_id(), who.hpke_public_key(), 1});
    }
  }

  void member(const crypto::Identity& signer, const GroupId& group, const PrincipalRefV1& who, std::uint64_t counter,
              bool deleted) {
    auto id = derive_group_member_id(b_.crypto(), group, who);
    if (!id) return;
    if (deleted) emit(signer, GroupMemberDeletedRecordV1{std::move(*id), group, who, counter});
    else emit(signer, GroupMemberRecordV1{std::move(*id), group, who, counter});
  }

  // The deletion of what a record made, if it makes anything deletable.
  std::optional<RecordBodyV1> deletion_of(const RecordBodyV1& target, std::uint64_t counter) {
    if (counter == 0) counter = record_counter(target) + 1;
    if (const auto* g = std::get_if<GrantRecordV1>(&target)) {
      return GrantDeletedRecordV1{g->grant_id, *g->permission, counter};
    }
    if (const auto* m = std::get_if<GroupMemberRecordV1>(&target)) {
      return GroupMemberDeletedRecordV1{m->group_member_id, m->group_id, m->member, counter};
    }
    if (const auto* g = std::get_if<GroupRecordV1>(&target)) return GroupDeletedRecordV1{g->group_id, counter};
    if (const auto* u = std::get_if<UserRecordV1>(&target)) return UserDeletedRecordV1{u->user_id, std::nullopt, counter};
    if (const auto* s = std::get_if<SecretRecordV1>(&target)) {
      return SecretDeletedRecordV1{s->secret_id, s->selector, counter};
    }
    return std::nullopt;
  }

  // The record again with another body and the counter (0: its own).
  std::optional<RecordBodyV1> rewrite_of(RecordBodyV1 body, std::uint64_t counter, GrantPermissionV1 permission,
                                         const crypto::Identity& signer) {
    if (std::holds_alternative<VaultRootRecordV1>(body)) return std::nullopt;
    if (counter == 0) counter = record_counter(body);
    std::visit(
        [&](auto& b) {
          using B = std::decay_t<decltype(b)>;
          if constexpr (!std::is_same_v<B, VaultRootRecordV1>) b.counter = counter;
          if constexpr (std::is_same_v<B, GrantRecordV1>) b.permission = std::move(permission);
          if constexpr (std::is_same_v<B, GrantDeletedRecordV1>) b.permission = std::move(permission);
          if constexpr (std::is_same_v<B, GroupRecordV1>) b.handle += "x";
          if constexpr (std::is_same_v<B, UserDeletedRecordV1>) b.detail = "again";
          if constexpr (std::is_same_v<B, SecretRecordV1>) b.payload = payload(signer);
        },
        body);
    return body;
  }

  // --- Instructions --------------------------------------------------------

  void step() {
    ++steps_;
    const auto op = static_cast<ProgramOp>((pos_ < in_.size() ? in_[pos_] : 0) % kProgramOpCount);
    const Site site(*this, ProgramSiteKind::Instruction, op);
    switch (static_cast<ProgramOp>(byte() % kProgramOpCount)) {
      case ProgramOp::User: {
        const crypto::Identity& signer = user();
        const crypto::Identity& who = user();
        enrol(signer, who, num());
        break;
      }
      case ProgramOp::Group: {
        const crypto::Identity& signer = user();
        const std::uint64_t n = num();
        const std::string seed = "g" + std::to_string(n);
        const GroupId id = group_named(n);
        emit(signer, GroupRecordV1{id, IdSeed(cord::Bytes(seed.begin(), seed.end())), seed, num()});
        break;
      }
      case ProgramOp::Member: {
        const crypto::Identity& signer = user();
        const GroupId in = group();
        PrincipalRefV1 who = principal();
        member(signer, in, who, num(), false);
        break;
      }
      case ProgramOp::Grant: {
        const crypto::Identity& signer = user();
        const std::string seed = text();
        PrincipalRefV1 grantee = principal();
        GrantPermissionV1 granted = permission();
        const std::uint64_t counter = num();
        emit(signer, GrantRecordV1{b_.grant_id(seed), IdSeed(cord::Bytes(seed.begin(), seed.end())),
                                   std::move(grantee), std::move(granted), counter});
        break;
      }
      case ProgramOp::DeleteOf: {
        const crypto::Identity& signer = user();
        const auto at = ref();
        const std::uint64_t counter = num();
        if (!at) break;
        if (auto body = deletion_of(out_.records[*at].body(), counter)) emit(signer, std::move(*body));
        break;
      }
      case ProgramOp::Deleted: deleted(); break;
      case ProgramOp::Rewrite: {
        const crypto::Identity& signer = user();
        const auto at = ref();
        const std::uint64_t counter = num();
        GrantPermissionV1 replaced = permission();
        if (!at) break;
        if (auto body = rewrite_of(out_.records[*at].body(), counter, std::move(replaced), signer)) {
          emit(signer, std::move(*body));
        }
        break;
      }
      case ProgramOp::Secret: {
        const crypto::Identity& signer = user();
        SecretSelectorV1 selector = secret_selector();
        const std::uint64_t counter = num();
        auto id = derive_secret_id(b_.crypto(), selector);
        if (id) emit(signer, SecretRecordV1{std::move(*id), std::move(selector), payload(signer), counter});
        break;
      }
      case ProgramOp::Repeat: repeat(); break;
      case ProgramOp::Seen: {
        const auto at = ref();
        const std::uint64_t counter = num();
        if (!at) break;
        RecordKey key = validate::record_key_for(out_.records[*at].body(), signers_[*at]->user_id());
        std::uint64_t& seen = seen_.counters[key];
        seen = std::max(seen, counter);
        break;
      }
      case ProgramOp::Spoil: {
        const auto at = ref();
        if (at) spoil(*at);
        break;
      }
      case ProgramOp::Order: order_ = byte() % 3; break;
    }
  }

  const GroupId& group_named(std::uint64_t n) {
    auto [it, fresh] = groups_.try_emplace(n);
    if (fresh) it->second = b_.group_id("g" + std::to_string(n));
    return it->second;
  }

  void deleted() {
    const std::uint8_t kind = byte() % 5;
    const crypto::Identity& signer = user();
    switch (kind) {
      case 0: {
        const std::string seed = text();
        GrantPermissionV1 named = permission();
        emit(signer, GrantDeletedRecordV1{b_.grant_id(seed), std::move(named), num()});
        break;
      }
      case 1: {
        const GroupId in = group();
        PrincipalRefV1 who = principal();
        member(signer, in, who, num(), true);
        break;
      }
      case 2: {
        const GroupId id = group();
        emit(signer, GroupDeletedRecordV1{id, num()});
        break;
      }
      case 3: {
        const UserId who = user().user_id();
        emit(signer, UserDeletedRecordV1{who, std::nullopt, num()});
        break;
      }
      default: {
        SecretSelectorV1 selector = secret_selector();
        const std::uint64_t counter = num();
        auto id = derive_secret_id(b_.crypto(), selector);
        if (id) emit(signer, SecretDeletedRecordV1{std::move(*id), std::move(selector), counter});
        break;
      }
    }
  }

  void repeat() {
    std::size_t count = 0;
    {
      const Site site(*this, ProgramSiteKind::RepeatCount);
      const std::uint8_t first = byte();
      count = first < kShortRepeat ? std::size_t{first} + 1 : ((std::size_t{first} & 0x7f) << 8 | byte()) + 1;
    }
    const std::size_t length = 1 + byte() % kBlockInstructions;
    const std::size_t start = pos_;
    frames_.push_back(Frame{0, 0, count});
    // A dry run reads the body once, as the last instruction of the
    // repeat, so that the block's end is where the program goes on.
    // A body past the program's end runs nothing, however often: skipping
    // it keeps nested repeats of nothing from costing their product.
    const std::size_t runs = start >= in_.size() ? 0 : dry() ? 1 : count;
    for (std::size_t t = 0; t < runs && !stopped(); ++t) {
      pos_ = start;
      for (std::size_t i = 0; i < length && pos_ < in_.size() && !stopped(); ++i) {
        frames_.back().t = t;
        frames_.back().r = t * length + i;
        step();
      }
    }
    frames_.pop_back();
  }

  void spoil(std::size_t at) {
    HashedRecord& entry = out_.records[at];
    if (!out_.verified.contains(entry.hash)) return;
    VaultRecordV1 broken = entry.record;
    if (broken.signature.empty()) broken.signature.push_back(0);
    broken.signature.front() ^= 0x01;
    auto encoded = cord::serialize(broken);
    if (!encoded) return;
    HashValue hash = b_.crypto().hash(domains::kRecordHash, *encoded);
    if (!made_.insert(hash).second) return;
    out_.verified.erase(entry.hash);
    entry.record = std::move(broken);
    entry.hash = std::move(hash);
  }

  void finish() {
    if (order_ == 1) std::ranges::reverse(out_.records);
    if (order_ == 2) std::ranges::sort(out_.records, {}, &HashedRecord::hash);
    auto fingerprint = key_hash(b_.crypto(), b_.root().signing_public_key());
    out_.trust = Ratchet::make(fingerprint ? fingerprint->to_vec() : cord::Bytes{});
    out_.trust.absorb_record(FormatVersionRatchetRecordV1{1});
    out_.trust.apply_update(seen_);
  }

  std::span<const std::uint8_t> in_;
  std::size_t pos_ = 0;
  const VaultBuilder& b_;
  ProgramSignatures signatures_;
  ProgramVault out_;
  std::vector<const crypto::Identity*> signers_;  // beside out_.records
  std::set<HashValue> made_;
  std::set<const crypto::Identity*> entered_;
  std::map<std::uint64_t, GroupId> groups_;
  std::vector<Frame> frames_;
  std::vector<ProgramSite>* sites_;
  std::uint32_t depth_ = 0;
  RatchetUpdate seen_;
  std::size_t steps_ = 0;
  std::size_t material_ = 0;
  std::uint64_t payloads_ = 0;
  unsigned order_ = 0;
  bool full_ = false;
};

}  // namespace

ProgramVault run_vault_program(std::span<const std::uint8_t> program, const VaultBuilder& b,
                               ProgramSignatures signatures) {
  return Interpreter(program, b, signatures).run();
}

std::vector<ProgramSite> map_vault_program(std::span<const std::uint8_t> program) {
  std::vector<ProgramSite> sites;
  Interpreter(program, shared_builder(), ProgramSignatures::Placeholder, &sites).run();
  return sites;
}

const crypto::Identity& program_user(const VaultBuilder& b, std::size_t u) {
  if (u == 0) return b.root();
  if (u <= kBuilderUsers) return b.identity(static_cast<std::uint8_t>(u + 1));
  // Master seeds no builder identity has (those are one byte repeated).
  static std::map<std::size_t, std::unique_ptr<crypto::Identity>> numbered;
  auto& slot = numbered[u];
  if (!slot) {
    cord::Bytes master(crypto::kMasterSeedSize, 0);
    master[0] = 0xA5;
    master[1] = static_cast<std::uint8_t>(u & 0xff);
    master[2] = static_cast<std::uint8_t>(u >> 8);
    auto made = crypto::Identity::from_master_seed(b.crypto(), master);
    if (!made) std::abort();
    slot = std::make_unique<crypto::Identity>(std::move(*made));
  }
  return *slot;
}

}  // namespace vornex::test
