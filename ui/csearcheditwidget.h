#pragma once

#include <QWidget>

class QHBoxLayout;
class QLineEdit;
class QPushButton;

// Search box: a line edit with a search and a clear button. It emits the text
// only when asked (Return, Enter or the search button), never while typing.
class CSearchEditWidget : public QWidget
{
    Q_OBJECT

public:
    explicit CSearchEditWidget(QWidget *parent = nullptr);

signals:
    void textChangedSignal(QString _text);

public slots:
    void setText(QString _text = QString());

private slots:
    void textChangedSlot();
    void textClearSlot();

protected:
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QHBoxLayout *layout;
    QLineEdit *lineEdit;
    QPushButton *searchButton;
    QPushButton *clearButton;
};
