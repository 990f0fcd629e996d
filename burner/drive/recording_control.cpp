// recording_control.cpp
#include "burner/drive/scsi_device.h"
