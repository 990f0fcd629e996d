// gate.cpp
#include "burner/drive/scsi_device.h"
