// device_list.cpp: starting the transport, listing the CD/DVD devices the
// back end serves, selecting one, and the per-model quirks.
#include <algorithm>
#include <cstring>

#include "burner/drive/messages.h"
#include "burner/drive/scsi_device.h"
#include "burner/drive/transport.h"
#include "burner/platform/str_format.h"
#include "burner/platform/text.h"

namespace zamo {

std::atomic<bool> TSCSIDevice::SlowReadyVendor{false};
std::atomic<bool> TSCSIDevice::ImmediateCloseModel{true};

namespace {

constexpr uint8_t kNoAddress = 0xFE;
constexpr int kTargetsPerAdapter = 8;
constexpr int kLunsPerTarget = 8;

bool IsListedType(uint8_t type) { return type == 5 || type == 4; }

// INQUIRY text fields as they stand, with control bytes shown as spaces so
// that a line never carries a NUL or a line break.
std::string InquiryText(const uint8_t* bytes, size_t length) {
  std::string raw(reinterpret_cast<const char*>(bytes), length);
  for (char& c : raw) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) == 0x7F) c = ' ';
  }
  return FromCp1252(raw);
}

// Characters at or below a space are trimmed from both ends.
std::string Trimmed(const uint8_t* bytes, size_t length) {
  size_t begin = 0, end = length;
  while (begin < end && bytes[begin] <= ' ') ++begin;
  while (end > begin && bytes[end - 1] <= ' ') --end;
  return std::string(reinterpret_cast<const char*>(bytes + begin), end - begin);
}

std::string FieldText(const char* field, size_t size) {
  const size_t length = strnlen(field, size);
  return Trimmed(reinterpret_cast<const uint8_t*>(field), length);
}

// Reads "H:T:L," at the start of a list line: three decimal numbers of any
// width, each below 0xFE (which marks "no device").
bool ParseAddress(const std::string& line, uint8_t& ha, uint8_t& target, uint8_t& lun) {
  uint8_t* fields[3] = {&ha, &target, &lun};
  const char separators[3] = {':', ':', ','};
  size_t pos = 0;
  for (int i = 0; i < 3; ++i) {
    unsigned value = 0;
    size_t digits = 0;
    while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9' && digits < 4) {
      value = value * 10 + static_cast<unsigned>(line[pos] - '0');
      ++pos;
      ++digits;
    }
    if (digits == 0 || value >= kNoAddress || pos >= line.size() || line[pos] != separators[i]) return false;
    *fields[i] = static_cast<uint8_t>(value);
    ++pos;
  }
  return true;
}

}  // namespace

bool TSCSIDevice::InitializeASPI(bool PreferSpti, const std::string& DllPath) {
  try {
    if (!transport::AspiInitialize(PreferSpti, DllPath)) return false;
    HostAdapterInquiry(0);
    ScanDevices();
    return true;
  } catch (...) {
    return false;
  }
}

bool TSCSIDevice::ASPIInitialized() const { return transport::Initialized(); }

void TSCSIDevice::HostAdapterInquiry(uint8_t Adapter) {
  TAspiBackEnd* back_end = transport::BackEnd();
  TSRB_HAInquiry request{};
  request.SRB_Cmd = SC_HA_INQUIRY;
  request.SRB_HaId = Adapter;
  if (back_end == nullptr || back_end->SendASPI32Command(&request) != SS_COMP || request.SRB_Status != SS_COMP) {
    HostAdapterCount = -1;
    return;
  }
  // A back end that reports no adapter count is scanned as seven adapters.
  const int count = request.HA_Count == 0 ? 7 : request.HA_Count;
  HostAdapterCount = static_cast<int8_t>(std::min(count, 127));
  HostAdapterManager = FieldText(request.HA_ManagerId, sizeof request.HA_ManagerId);
  HostAdapterName = FieldText(request.HA_Identifier, sizeof request.HA_Identifier);
}

void TSCSIDevice::ScanDevices() {
  Devices.clear();
  const uint8_t saved_ha = HaId, saved_target = TargetId, saved_lun = Lun;
  Lun = 0;
  if (DoDebug) DebugMessage(">>> " + transport::TransportName(), kMsgInfo);

  const int adapters = HostAdapterCount;  // the inquiries below refresh the field
  for (int ha = 0; ha < adapters; ++ha) {
    HostAdapterInquiry(static_cast<uint8_t>(ha));
    if (DoDebug) DebugMessage(">>> " + HostAdapterManager + " (" + HostAdapterName + ")", kMsgInfo);
    for (int target = 0; target < kTargetsPerAdapter; ++target) {
      for (int lun = 0; lun < kLunsPerTarget; ++lun) {
        HaId = static_cast<uint8_t>(ha);
        TargetId = static_cast<uint8_t>(target);
        Lun = static_cast<uint8_t>(lun);
        std::memset(InquiryData, 0, sizeof InquiryData);
        if (!Inquiry() || !IsListedType(InquiryData[0])) continue;
        std::string node = GetDevicePath();
        std::string line = StrFormat("%d:%d:%d,", ha, target, lun) + (node.empty() ? "?" : node) + ": " +
                           InquiryText(InquiryData + 8, 28);
        if (InquiryData[0] == 4) line += " (not supported)";
        // A drive the back end can only read, or cannot open at all, is
        // listed all the same, marked; DeviceAccessOf gives the reason.
        const TDeviceAccess access = DeviceAccessOf(line);
        if (!access.problem.empty()) line += access.read_only ? msg::kListedReadOnly : msg::kListedUnusable;
        Devices.push_back(std::move(line));
      }
    }
  }
  HaId = saved_ha;
  TargetId = saved_target;
  Lun = saved_lun;
  LastError.clear();
}

void TSCSIDevice::SelectDevice(const std::string& S) {
  const auto refuse = [this](bool say) {
    if (say) DebugMessage(msg::kInvalidDevice, kMsgStatus);
    MaxTransferBytes = 0;
    ReadOnlyAccess = false;
    DeviceAccessText.clear();
    HaId = TargetId = Lun = kNoAddress;
    DeviceString.clear();
    DeviceName.clear();
    DeviceType = 0x7F;
  };
  if (S.size() < 5) {
    refuse(!S.empty());
    return;
  }
  uint8_t ha = 0, target = 0, lun = 0;
  if (!ParseAddress(S, ha, target, lun)) {
    refuse(true);
    return;
  }
  HaId = ha;
  TargetId = target;
  Lun = lun;
  DeviceString = S;
  TDeviceAccess access;
  if (TAspiBackEnd* back_end = transport::BackEnd()) access = back_end->Access(ha, target, lun);
  MaxTransferBytes = access.max_transfer_bytes;
  ReadOnlyAccess = access.read_only;
  DeviceAccessText = access.problem;
  try {
    // Reads the capabilities page, then INQUIRY into InquiryData.
    ReadDeviceName();
  } catch (...) {
    refuse(true);
    return;
  }
  if (!IsListedType(InquiryData[0])) {
    refuse(true);
    return;
  }

  const std::string product = Trimmed(InquiryData + 16, 16);
  std::string vendor = Trimmed(InquiryData + 8, 8);
  const std::string raw_product(reinterpret_cast<const char*>(InquiryData + 16), 16);
  if (vendor.size() < 3) vendor = "     ";
  UnderrunCapableModel = product == "CD-W512EB";
  LinkSizeValidModel = product == "CRX175E" || product == "CD-RW  CRX800E";
  SlowReadyVendor = product.starts_with("UJDA") || vendor.starts_with("TDK");
  ImmediateCloseModel = product != "CDRW321040X";
  SlowReadyModel = raw_product == "DVD-RW  DVR-103 " || raw_product == "DVD-RW  DVR-104 ";

  if (OnDeviceChange) OnDeviceChange(this);
  try {
    ProbeWriteTypes();
  } catch (...) {
  }
}

uint32_t TSCSIDevice::TransferSectors(uint32_t wanted) const {
  constexpr uint32_t kBlockBytes = 2048;
  if (MaxTransferBytes == 0) return wanted;
  return std::min(wanted, std::max<uint32_t>(MaxTransferBytes / kBlockBytes, 1));
}

std::string TSCSIDevice::WritingRefusal() const {
  if (!ReadOnlyAccess) return {};
  return DeviceAccessText.empty() ? std::string(msg::kDeviceReadOnly)
                                  : std::string(msg::kDeviceReadOnly) + ": " + DeviceAccessText;
}

std::string TSCSIDevice::GetDevicePath() const {
  TAspiBackEnd* back_end = transport::BackEnd();
  if (back_end == nullptr || HaId == kNoAddress) return {};
  return back_end->DevicePath(HaId, TargetId, Lun);
}

void TSCSIDevice::SetReleaseHandles(bool Value) { transport::ReleaseHandles = Value; }

TDeviceAccess TSCSIDevice::DeviceAccessOf(const std::string& line) const {
  uint8_t ha = 0, target = 0, lun = 0;
  TAspiBackEnd* back_end = transport::BackEnd();
  if (back_end == nullptr || !ParseAddress(line, ha, target, lun)) return {};
  return back_end->Access(ha, target, lun);
}

bool TSCSIDevice::BeginExclusive() {
  if (exclusive_depth_ > 0) {
    ++exclusive_depth_;
    return true;
  }
  TAspiBackEnd* back_end = transport::BackEnd();
  if (back_end == nullptr || HaId == kNoAddress) {
    LastError = msg::kNoDevice;
    return false;
  }
  if (std::string refused = back_end->BeginExclusive(HaId, TargetId, Lun); !refused.empty()) {
    LastError = std::move(refused);
    return false;
  }
  exclusive_depth_ = 1;
  exclusive_ha_ = HaId;
  exclusive_target_ = TargetId;
  exclusive_lun_ = Lun;
  return true;
}

bool TSCSIDevice::BeginJobExclusive() {
  if (!BeginExclusive()) return false;
  job_exclusive_ = true;
  return true;
}

void TSCSIDevice::EndJobExclusive() {
  if (job_exclusive_.exchange(false)) EndExclusive();
}

void TSCSIDevice::EndExclusive() {
  if (exclusive_depth_ == 0 || --exclusive_depth_ > 0) return;
  // The back end may have changed since (a re-initialisation closed every
  // handle already); then there is nothing left to let go of.
  if (TAspiBackEnd* back_end = transport::BackEnd()) {
    back_end->EndExclusive(exclusive_ha_, exclusive_target_, exclusive_lun_);
  }
  exclusive_ha_ = exclusive_target_ = exclusive_lun_ = kNoAddress;
}

}  // namespace zamo
