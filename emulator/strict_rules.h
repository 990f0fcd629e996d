// strict_rules.h: the MMC rules the emulated recorder enforces as a real
// drive does, each of which can be relaxed to the forgiving behaviour of the
// emulator's first versions (lenient=), and the list of rules that stay
// relaxed by default until the component obeys them.
#pragma once

#include <bitset>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zamo::emu {

enum class TRule : uint8_t {
  // DVD-R/-RW incremental recording links in whole ECC blocks: a flush or a
  // close pads the last ECC block that a write left partly filled, and the
  // next writable address moves to the next ECC block. Relaxed: the next
  // writable address stays where the last write ended.
  kEccPadding,
  // A DVD-R/-RW reserved track closed (or its session closed) before it is
  // full fails with 05/72/04 EMPTY OR PARTIALLY WRITTEN RESERVED TRACK: the
  // drive pads only an incomplete track of its own. Relaxed: padded.
  kReservedTrackFull,
  // Disc at once (write type 2) on a DVD-R/-RW writes only into a reserved
  // track: 05/2C/00 COMMAND SEQUENCE ERROR otherwise.
  kDaoNeedsReservation,
  // A CD track closed in track-at-once mode is padded to 300 blocks when
  // shorter, and followed by two run-out blocks that read as no data. Relaxed:
  // the track is what was written.
  kTaoTrackEnd,
  // A DVD-RW minimally blanked takes no incremental writes (05/64/00) until it
  // is formatted or fully blanked; disc at once only.
  kMinimalBlankDvdRw,
  // A DVD+RW formats in the background for the format time: READ DISC
  // INFORMATION says in progress, REQUEST SENSE gives the progress, CLOSE
  // function 3 runs the rest (de-icing), functions 0 and 2 stop it. Relaxed:
  // the format is complete the moment it starts.
  kBackgroundFormat,
  // A disc just loaded spins up: 02/04/01 BECOMING READY for the spin-up
  // time, then 06/28/00. Relaxed: ready at once.
  kSpinUp,
  // READ BUFFER CAPACITY shows the drive buffer filling and draining at the
  // current speed even when writes are instant. Relaxed: always empty.
  kBufferFill,
  // SET STREAMING with a read or write size of zero fails with 05/26/00.
  // Relaxed: taken as the slowest speed.
  kStreamingSizes,
  kCount,
};

inline constexpr size_t kRuleCount = static_cast<size_t>(TRule::kCount);

// Which rules are enforced.
class TRuleSet {
 public:
  static TRuleSet All();
  static TRuleSet None() { return TRuleSet(); }
  // Every rule but those awaiting the component: what a drive does unless
  // the configuration says otherwise.
  static TRuleSet Default();

  bool Has(TRule rule) const { return bits_.test(static_cast<size_t>(rule)); }
  void Set(TRule rule, bool on) { bits_.set(static_cast<size_t>(rule), on); }
  friend bool operator==(const TRuleSet&, const TRuleSet&) = default;

 private:
  std::bitset<kRuleCount> bits_;
};

// The name of a rule in the options ("ecc", "reserved" ...), and back.
std::string_view RuleName(TRule rule);
std::optional<TRule> RuleFromName(std::string_view name);
// Every rule name, for messages ("ecc, reserved, ...").
std::string RuleNames();

// A rule the component does not obey yet, kept relaxed by default so that
// its burns still work; `strict=NAME` (or strict=all) enforces it.
struct TRuleAwaitingComponent {
  TRule rule;
  const char* reason;  // what the component does that a real drive refuses
};
// Empty when the component obeys every rule.
std::span<const TRuleAwaitingComponent> RulesAwaitingComponent();

// lenient=1|all|NAME[/NAME...] relaxes rules in `rules`; strict=all|NAME[/NAME...]
// enforces them. False for an unknown name.
bool ApplyLenient(std::string_view value, TRuleSet* rules);
bool ApplyStrict(std::string_view value, TRuleSet* rules);

}  // namespace zamo::emu
