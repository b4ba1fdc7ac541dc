#pragma once

// Columns of a register row, in the order of the register table; both register
// cards read their models by these indices.
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
