#pragma once

// Column positions of the two tables, in the order of devicesColumns and devDataColumns.
// Every SQL text, the register image and the windows' item models read rows by these.

enum EDeviceColumn {
    DEV_COL_DEVICE = 0,
    DEV_COL_NAME = 1,
    DEV_COL_APP_EUI = 2,
    DEV_COL_DEV_EUI = 3,
    DEV_COL_PORT = 4,
    DEV_COL_START_ADDR = 5,
    DEV_COLUMN_COUNT = 6
};

enum ERegisterColumn {
    REG_COL_DEVICE = 0,
    REG_COL_PORT = 1,
    REG_COL_REG_ADDR = 2,
    REG_COL_START_VALUE = 3,
    REG_COL_GRATING_PERIOD = 4,
    REG_COL_BIT_SIZE = 5,
    REG_COL_DATA_TYPE = 6,
    REG_COL_VALUE = 7,
    REG_COL_FULL_VALUE = 8,
    REG_COL_TIME = 9,
    REG_COL_NAME = 10,
    REG_COL_UNIT = 11,
    REG_COL_PARENT = 12,
    REG_COL_SOURCE = 13,
    REG_COLUMN_COUNT = 14
};
