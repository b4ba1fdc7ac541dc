#pragma once

// Columns of a device row, in the order of the device table; the windows read
// their device models by these indices.
enum EDeviceColumn {
    DEV_COL_DEVICE = 0,
    DEV_COL_NAME = 1,
    DEV_COL_APP_EUI = 2,
    DEV_COL_DEV_EUI = 3,
    DEV_COL_PORT = 4,
    DEV_COL_START_ADDR = 5,
    DEV_COLUMN_COUNT = 6
};
