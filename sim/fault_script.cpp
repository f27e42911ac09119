// SPDX-License-Identifier: Apache-2.0
// The simulated device's faults: which apply in which cycle and update, how they reshape the
// planned replies, and the random drops, delays and duplicates.
#include "sim/fault_script.h"

#include <algorithm>
#include <utility>

namespace devsim {

FaultScript::FaultScript(DeviceSettings settings)
    : settings_(std::move(settings)), random_(settings_.seed) {}

EraseTiming FaultScript::Erase(int cycle) const {
  return ApplyInCycle(cycle) ? EraseTiming{settings_.eraseReads - 1, settings_.eraseMilliseconds}
                             : EraseTiming{};
}

bool FaultScript::Refuses(char kind, int block, int tries, int cycle) const {
  return ApplyInCycle(cycle) &&
         std::ranges::any_of(settings_.refusals, [&](const Refusal& refusal) {
           return refusal.block.Matches(kind, block, false) && tries <= refusal.tries;
         });
}

PlayedReplies FaultScript::Play(char kind, int index, int cycle,
                                const std::vector<PlannedReply>& planned) {
  PlayedReplies played;
  for (Reply& reply : Scripted(kind, index, cycle, planned, played.silenceBegan)) {
    AddRandomFaults(std::move(reply), played.replies);
  }
  return played;
}

void FaultScript::UpdateEnded() {
  ++updatesEnded_;
  silent_ = silent_ && settings_.faultUpdates == 0;
}

bool FaultScript::ApplyInCycle(int cycle) const {
  return (settings_.faultCycles == 0 || cycle <= settings_.faultCycles) && ApplyInUpdate();
}

bool FaultScript::ApplyInUpdate() const {
  return settings_.faultUpdates == 0 || updatesEnded_ < settings_.faultUpdates;
}

std::vector<Reply> FaultScript::Scripted(char kind, int index, int cycle,
                                         const std::vector<PlannedReply>& planned,
                                         bool& silenceBegan) {
  using Role = PlannedReply::Role;
  const bool faults = ApplyInCycle(cycle);
  const auto names = [&](const DialogueStep& step, bool completion) {
    return step.Matches(kind, index, completion);
  };
  std::vector<Reply> datagrams;
  bool withPrevious = false;
  for (const PlannedReply& reply : planned) {
    const bool named = reply.role == Role::Echo || reply.role == Role::Completion;
    const bool completion = reply.role == Role::Completion;
    if (!silent_ && named && settings_.silentFrom && ApplyInUpdate() &&
        names(*settings_.silentFrom, completion)) {
      silent_ = silenceBegan = true;
    }
    if (silent_) {
      break;
    }
    uint8_t byte = reply.byte;
    for (const WrongByte& wrong : settings_.wrongBytes) {
      byte = faults && named && names(wrong.step, completion) ? wrong.byte : byte;
    }
    if (withPrevious && reply.delayMilliseconds == 0) {
      datagrams.back().bytes.push_back(byte);
    } else {
      datagrams.push_back({{byte}, reply.delayMilliseconds});
    }
    withPrevious = faults && reply.role == Role::Echo &&
                   std::ranges::any_of(settings_.twoByteReplies, [&](const DialogueStep& step) {
                     return names(step, false);
                   });
  }
  return datagrams;
}

void FaultScript::AddRandomFaults(Reply reply, std::vector<PlayedReply>& played) {
  if (Draw(settings_.dropRate)) {
    played.push_back({std::move(reply), true});
    return;
  }
  if (Draw(settings_.delayRate)) {
    reply.delayMilliseconds += settings_.delayMilliseconds;
  }
  const int copies = Draw(settings_.duplicateRate) ? 2 : 1;
  played.insert(played.end(), copies, {reply, false});
}

// True with probability `rate`, drawn with splitmix64: the same draws for the same seed on every
// platform and library. A rate of 0 draws nothing, so it leaves the other faults' draws alone.
bool FaultScript::Draw(double rate) {
  if (rate <= 0) {
    return false;
  }
  random_ += 0x9E3779B97F4A7C15u;
  uint64_t z = random_;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) * 0x1.0p-53 < rate;
}

}  // namespace devsim
