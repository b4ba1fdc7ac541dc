#pragma once

#include "store/registerdescription.h"

#include <QDialog>

#include "store/storerecords.h"
#include <QItemSelection>
#include <QList>
#include <QPair>
#include <QString>
#include <QVariant>

class CDeviceSearchModel;
class CGateway;
class CSearchEditWidget;
class QCheckBox;
class QComboBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QListView;
class QPushButton;
class QSpinBox;
class QStackedLayout;
class QStandardItemModel;

// Common window of the add and edit device dialogs: connection parameters, the device
// list, the selected device's registers, the legend of device types, OK and Cancel.
// What the lists hold and what OK does is up to the subclass.
class CAbstractDeviceForm : public QDialog
{
    Q_OBJECT

public:
    // Pages of pageStack.
    enum EPage { eStatusPage = 0, eDeviceListPage = 1 };

    explicit CAbstractDeviceForm(CGateway *_gateway, QWidget *parent = nullptr);

signals:
    void refreshDeviceList(QString _search = QString());

protected slots:
    virtual void deviceSearchNameSlot(QString str) = 0;
    virtual void refresh() = 0;
    virtual void deviceListSelectSlot(QItemSelection item1, QItemSelection item2) = 0;
    virtual void addDeviceSlot() = 0;

public slots:
    int showForm();

protected:
    // Rebuilds the legend: one label per loaded template, five to a row. Returns the templates shown.
    QList<SDeviceTemplateInfo> fillDeviceTypeGrid();
    // Appends a row to registerModel with the given (column, value) cells, edit role.
    // _decimals: the register is stored as a float32 (CSimpleRegisterDelegat::DECIMALS_ROLE).
    void appendRegisterRow(const QList<QPair<int, QVariant>> &_cells, bool _decimals);

    CGateway *gateway;
    QLabel *titleLabel;
    QStackedLayout *pageStack;
    QLabel *statusLabel;
    CSearchEditWidget *searchEdit;
    QListView *deviceView;
    QStandardItemModel *deviceSourceModel;
    CDeviceSearchModel *deviceProxyModel;
    QListView *registerView;
    QStandardItemModel *registerModel;
    QString currentAppEui;
    QLineEdit *portEdit;
    QLineEdit *startAddressEdit;
    QPushButton *portErrorButton;
    QPushButton *startAddressErrorButton;
    // Modbus writes to the device's commands send downlinks.
    QCheckBox *writableBox;
    QGridLayout *deviceTypeGrid;
    // Modbus settings of the device: unit ID, word order, stale time and policy.
    QSpinBox *unitIdSpin;
    QComboBox *wordOrderCombo;
    QSpinBox *staleAfterSpin;
    QComboBox *stalePolicyCombo;

    void showSettings(const DB::SDeviceRegMapDescription &_device);
    void readSettings(DB::SDeviceRegMapDescription *_device) const;
};
