// device_list.cpp
#include "burner/drive/scsi_device.h"
