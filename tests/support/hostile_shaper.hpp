// What the hostile shapes' builders share: the cast every shape starts
// with, selectors written briefly, and a report's problems collected one
// clause at a time. Internal to the builders (hostile_*.cpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "hostile_shapes.hpp"

namespace vornex::test::shaping {

using namespace vornex::core;
using core::validate::ValidationReport;

// A fixed-width number, so that lists of them sort as the numbers do.
inline std::string numbered(const char* name, std::size_t i) {
  char digits[32];
  std::snprintf(digits, sizeof digits, "%07zu", i);
  return name + std::string(digits);
}
inline std::string seeded(const char* name, std::size_t i) { return name + std::to_string(i); }

inline KeyspaceSelectorV1 under(std::vector<std::string> path, std::vector<KeyspaceLabelMatcherV1> labels = {}) {
  return KeyspaceSelectorV1{tuple_matcher::Prefix{std::move(path)}, std::move(labels)};
}
inline GrantPermissionV1 manage_all(KeyspaceSelectorV1 selector) { return manage_permission(std::move(selector)); }
inline KeyspaceLabelMatcherV1 equals(std::string key, std::string value) {
  return {std::move(key), label_matcher::Equals{std::move(value)}};
}

inline std::size_t in_force(const ValidationReport& r, const std::vector<GrantId>& ids) {
  return static_cast<std::size_t>(std::ranges::count_if(ids, [&](const GrantId& id) { return r.effective.grants.contains(id); }));
}
inline std::size_t deleted(const ValidationReport& r, const std::vector<GrantId>& ids) {
  return static_cast<std::size_t>(
      std::ranges::count_if(ids, [&](const GrantId& id) { return r.effective.deleted_grants.contains(id); }));
}

// How many secrets of `ids` have an authorised write.
inline std::size_t written_count(const ValidationReport& r, const std::vector<SecretId>& ids) {
  return static_cast<std::size_t>(std::ranges::count_if(
      ids, [&](const SecretId& id) { return r.effective.latest_secret.find(id) != r.effective.latest_secret.end(); }));
}

// Collects what is wrong with a report, one clause at a time.
class Problems {
 public:
  void expect(bool holds, const std::string& what) {
    if (holds) return;
    if (!text_.empty()) text_ += "; ";
    text_ += what;
  }
  void count(std::size_t got, std::size_t want, const std::string& what) {
    expect(got == want, what + ": " + std::to_string(got) + ", expected " + std::to_string(want));
  }
  std::string text() && { return std::move(text_); }

 private:
  std::string text_;
};

class Shaper {
 public:
  explicit Shaper(const VaultBuilder& b) : b_(b), v_(b) {}

  const crypto::Identity& root() const { return b_.root(); }
  const crypto::Identity& a() const { return b_.identity(2); }
  const crypto::Identity& b() const { return b_.identity(3); }
  const crypto::Identity& c() const { return b_.identity(4); }
  PrincipalRefV1 ref(const crypto::Identity& who) const { return who.user_id(); }
  GrantId grant_id(const std::string& seed) const { return b_.grant_id(seed); }
  const VaultBuilder& builder() const { return b_; }

  void add(VaultRecordV1 record) { v_.add(std::move(record)); }
  std::size_t size() const { return v_.records.size(); }
  void enrol(const crypto::Identity& who) {
    add(b_.user(root(), who, 1));
    add(b_.entry_point(who, 1));
  }
  void start() {
    add(b_.vault_root());
    for (const crypto::Identity* who : {&a(), &b(), &c()}) enrol(*who);
    add(b_.grant(root(), "team-manager", ref(a()), manage_all(under({"team"})), 1));
  }
  std::size_t left(std::size_t n) const { return n > size() ? n - size() : 0; }

  HostileVault& vault() { return v_; }
  HostileVault take(ShapeCheck check) {
    v_.check = std::move(check);
    return std::move(v_);
  }

  // The toggle shapes' revocations: `count` grants by `revoker`, the i-th
  // deleted at counter count - i + 1 so that the newest goes first.
  void revoke_newest_first(const crypto::Identity& revoker, const std::vector<GrantId>& ids,
                           const std::vector<GrantPermissionV1>& permissions) {
    const std::size_t count = ids.size();
    std::vector<std::size_t> at(count);
    for (std::size_t i = 0; i < count; ++i) {
      at[i] = size();
      add(b_.grant_deleted(revoker, ids[i], permissions[i], count - i + 1));
    }
    v_.revocations.assign(at.rbegin(), at.rend());
  }

 private:
  const VaultBuilder& b_;
  HostileVault v_;
};

// The builders of the shapes kept in files of their own, at size n.
HostileVault in_revoke(std::size_t n, const VaultBuilder& b);
HostileVault in_scan(std::size_t n, bool secrets, bool absent, const VaultBuilder& b);
HostileVault in_deletions(std::size_t n, const VaultBuilder& b);
HostileVault nest_grow(std::size_t n, const VaultBuilder& b);
HostileVault group_ask(std::size_t n, bool revoked, const VaultBuilder& b);
HostileVault never_settle(std::size_t n, const VaultBuilder& b);
HostileVault empty_path(std::size_t segments, const VaultBuilder& b);

}  // namespace vornex::test::shaping
