#pragma once

#include <QString>

// The file, connection and table names of the register store.
inline const QString DB_FILE_NAME = QStringLiteral("server.db");
inline const QString DB_CONNECTION_NAME = QStringLiteral("server");
inline const QString DB_TABLE_DEVICES = QStringLiteral("devices");
inline const QString DB_TABLE_DEV_DATA = QStringLiteral("dev_data");

// Column positions of the two tables, in the order of devicesColumns and devDataColumns.
// Every SQL text, the register image and the windows' item models read rows by these.

enum EDeviceColumn {
    DEV_COL_DEVICE = 0,
    DEV_COL_NAME = 1,
    DEV_COL_APP_EUI = 2,
    DEV_COL_DEV_EUI = 3,
    DEV_COL_PORT = 4,
    DEV_COL_START_ADDR = 5,
    DEV_COLUMN_COUNT = 6,
    // Added to the first six, at start when a server.db lacks them (DEVICE_ADDED_COLUMNS).
    DEV_COL_UNIT_ID = 6,
    DEV_COL_WORD_ORDER = 7,
    DEV_COL_STALE_AFTER = 8,
    DEV_COL_STALE_POLICY = 9,
    DEV_COL_UPLINKS = 10,
    DEV_COL_LOST = 11,
    DEV_COL_ERRORS = 12,
    DEV_COL_LAST_FCNT = 13,
    DEV_COL_LAST_UPLINK = 14,
    DEV_ALL_COLUMN_COUNT = 15
};

// Kept apart from the column list: files of earlier versions get it added at open.
inline constexpr const char DEVICE_WRITABLE_COLUMN[] = "writable";

// Name and declaration of each added devices column, in position order from DEV_COL_UNIT_ID.
// Their defaults are what a device of an older server.db has always behaved as.
struct SAddedColumn {
    const char *name;
    const char *declaration;
};
inline constexpr SAddedColumn DEVICE_ADDED_COLUMNS[DEV_ALL_COLUMN_COUNT - DEV_COLUMN_COUNT] = {
    { "unit_id", "INTEGER NOT NULL DEFAULT 0" },
    { "word_order", "TEXT NOT NULL DEFAULT 'big'" },
    { "stale_after", "INTEGER NOT NULL DEFAULT 0" },
    { "stale_policy", "TEXT NOT NULL DEFAULT 'keep'" },
    { "uplinks", "INTEGER NOT NULL DEFAULT 0" },
    { "lost", "INTEGER NOT NULL DEFAULT 0" },
    { "errors", "INTEGER NOT NULL DEFAULT 0" },
    { "last_fcnt", "INTEGER DEFAULT NULL" },
    { "last_uplink", "INTEGER DEFAULT NULL" },
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
