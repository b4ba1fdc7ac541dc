#pragma once

#include <QWidget>

// The maker's logo image beside its two-line wordmark.
class CLogoWidget : public QWidget
{
    Q_OBJECT

public:
    explicit CLogoWidget(QWidget *parent = nullptr);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
};
