// aspi_requests.h: ASPI requests for tests that drive a back end directly
// (the emulated one, the SG_IO one over a fake ioctl) rather than through
// the command gate: an execute request filled as the gate fills it, sent
// and waited for with a bound, an abort, and the adapter and device type
// inquiries.
#pragma once

#include <cstdint>

#include "burner/drive/cdb.h"
#include "burner/drive/srb.h"

namespace zamo::test {

// Host adapter, target and logical unit of a request.
struct ScsiAddress {
  uint8_t ha = 0, target = 0, lun = 0;
};

// An execute request for `cdb` to `to`: the direction `flags`, `length`
// bytes of data at `buffer`, the whole sense area, and `done` signalled at
// its completion (no event when null). The timeout is left 0 (the back
// end's own bound).
TSRB_ExecSCSICmd ExecRequest(ScsiAddress to, const Cdb& cdb, uint8_t flags, uint8_t* buffer = nullptr,
                             uint32_t length = 0, TCompletionEvent* done = nullptr);

// Sends `request`; when the back end answers SS_PENDING, waits at most
// `timeout_ms` for its completion (through an event of its own when the
// request has none). The status the request ended with; a request still
// pending then is aborted and keeps SS_PENDING.
uint8_t SendAndWait(TAspiBackEnd& back_end, TSRB_ExecSCSICmd& request, int timeout_ms = 5000);

// SC_ABORT_SRB for `request`: what SendASPI32Command answers.
uint32_t Abort(TAspiBackEnd& back_end, TSRB_ExecSCSICmd* request);

// SC_HA_INQUIRY of adapter `ha`: the answer and the record it filled.
struct AdapterInquiry {
  uint32_t status = 0;
  TSRB_HAInquiry record;
};
AdapterInquiry InquireAdapter(TAspiBackEnd& back_end, uint8_t ha);

// SC_GET_DEV_TYPE at `at`: the answer and the peripheral device type.
struct DeviceType {
  uint32_t status = 0;
  uint8_t type = 0;
  bool operator==(const DeviceType&) const = default;
};
DeviceType GetDeviceType(TAspiBackEnd& back_end, ScsiAddress at);

}  // namespace zamo::test
