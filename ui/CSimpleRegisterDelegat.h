#pragma once

#include <QStyledItemDelegate>

// Paints the register rows of the device dialogs and edits the scaling of
// numeric registers in place.
class CSimpleRegisterDelegat : public QStyledItemDelegate
{
    Q_OBJECT
public:
    explicit CSimpleRegisterDelegat(QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override;
    void setEditorData(QWidget* editor, const QModelIndex& index) const override;
    void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override;
    void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const override;

    // Only integer and uinteger registers carry a scaling to edit.
    static bool isScalable(const QString& dataType);
    // Float32 and word order are offered for numbers of 32 bits or more only:
    // a float needs two registers, which a 16-bit datum does not have.
    static bool offersFormat(const QModelIndex& index);

private:
    void paintHeader(QPainter* painter, const QRect& area, const QModelIndex& index, const QFont& base) const;
    void paintParameters(QPainter* painter, const QRect& area, const QModelIndex& index,
                         const QFont& base) const;
    void paintFormat(QPainter* painter, const QRect& area, const QModelIndex& index, const QFont& base) const;
};
