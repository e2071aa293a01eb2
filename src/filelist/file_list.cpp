// The file list: its entries, removal, "Clear List", and reordering by carrying an entry.
#include "app/form1.h"
#include "filelist/list_contains.h"

#include "platform/error_trap.h"
#include "ui_form1.h"

#include <QTreeWidget>

namespace Tovanel::Main {
bool ListContainsText(const QTreeWidget* list, const QString& text)
{
    bool found = false;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (list->topLevelItem(i)->text(0) == text)
            found = true;
    return found;
}
} // namespace Tovanel::Main

namespace Tovanel {

namespace {
constexpr int ItemIdRole = Qt::UserRole + 1;
}

void Form1::addListItem(const QString& text)
{
    auto* item = new QTreeWidgetItem(QStringList{text});
    item->setData(0, ItemIdRole, nextItemId_++);
    // A long path is cut in its middle to keep the file name in view; the row's tip shows it whole.
    item->setToolTip(0, text);
    ui_->ListView1->addTopLevelItem(item);
}

int Form1::listCount() const { return ui_->ListView1->topLevelItemCount(); }

QString Form1::listText(int position) const
{
    QTreeWidgetItem* item = ui_->ListView1->topLevelItem(position - 1);
    if (!item)
        throw Failure(QStringLiteral("Index out of bounds"), 35600);
    return item->text(0);
}

QStringList Form1::listTexts() const
{
    QStringList texts;
    for (int i = 1; i <= listCount(); ++i)
        texts << listText(i);
    return texts;
}

void Form1::removeListItem(int position)
{
    delete ui_->ListView1->takeTopLevelItem(position - 1);
}

void Form1::clearList() { ui_->ListView1->clear(); }

int Form1::itemId(QTreeWidgetItem* item) const { return item ? item->data(0, ItemIdRole).toInt() : 0; }

QTreeWidgetItem* Form1::itemById(int id) const
{
    if (id == 0)
        return nullptr;
    for (int i = 0; i < listCount(); ++i)
        if (itemId(ui_->ListView1->topLevelItem(i)) == id)
            return ui_->ListView1->topLevelItem(i);
    return nullptr;
}

// Removes the selected entry; refused while busy, nothing when the list is empty or nothing is selected.
static void removeSelected(Form1& form)
{
    if (form.isBusy() || form.listCount() == 0)
        return;
    QTreeWidget* list = form.ui().ListView1;
    QTreeWidgetItem* selected = list->currentItem();
    if (!selected || !selected->isSelected())
        return;
    form.removeListItem(list->indexOfTopLevelItem(selected) + 1);
}

void Form1::ListView1_KeyDown(int keyCode)
{
    if (keyCode == KeyDelete)
        removeSelected(*this);
}

void Form1::ListView1_DblClick() { removeSelected(*this); }

void Form1::PushButton4_Click()
{
    ErrorTrap trap(dialogs_, FormLocation("PushButton4_Click"));
    if (trap.leaveIf(100, [&] { return isBusy(); }))
        return;
    trap.run(100, [&] { clearList(); });
}

void Form1::ListView1_MouseDown(Qt::MouseButton) { dragFlag_ = true; }

void Form1::ListView1_ItemClick(QTreeWidgetItem* item)
{
    setListPointer(PointerCustom);
    movedEntry_ = itemId(item);
}

void Form1::ListView1_MouseMove(Qt::MouseButtons, int x, int y)
{
    if (!isBusy())
        setMousePointer(PointerDefault);
    if (!dragFlag_)
        return;
    QTreeWidget* list = ui_->ListView1;
    QTreeWidgetItem* hit = list->itemAt(x, y);
    QTreeWidgetItem* moved = itemById(movedEntry_);
    if (hit && moved && hit->text(0) != moved->text(0)) {
        const QString kept = moved->text(0);
        moved->setText(0, hit->text(0));
        hit->setText(0, kept);
        // The ids travel with the texts, so the carried entry stays the one under the pointer.
        const QVariant movedId = moved->data(0, ItemIdRole);
        moved->setData(0, ItemIdRole, hit->data(0, ItemIdRole));
        hit->setData(0, ItemIdRole, movedId);
        list->setCurrentItem(hit);
        hit->setSelected(true);
        movedEntry_ = itemId(hit);
        // Scroll when the pointer is near the list's top or bottom edge.
        const int hitRow = list->indexOfTopLevelItem(hit);
        const int height = list->viewport()->height();
        if (y < height / 3 && hitRow >= 1)
            list->scrollToItem(list->topLevelItem(hitRow - 1));
        else if (y > height - height / 3 && hitRow + 1 < list->topLevelItemCount())
            list->scrollToItem(list->topLevelItem(hitRow + 1));
    }
}

void Form1::ListView1_MouseUp()
{
    dragFlag_ = false;
    setListPointer(PointerArrow);
}

} // namespace Tovanel
