// The main window's image tabs: built from the tab tables, filled and
// remembered through the settings texts, and guarded by the number checks.
#include <QApplication>
#include <QFocusEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QTabBar>
#include <QVBoxLayout>
#include <algorithm>
#include <map>

#include "dialog.h"
#include "frm_image.h"

namespace tavorin {

using image::Control;
using image::Field;
using image::FieldId;
using image::Kind;
using image::Section;
using image::Tab;

namespace {

// Room the number boxes get: their maximum length in digits, but no more
// than six, which shows a length in millimetres ("12.345") whole and leaves
// the IMGBOX tab's three groups the width their captions need.
int boxWidth(const QWidget& w, int maxLength) {
    return w.fontMetrics().horizontalAdvance(QString(std::clamp(maxLength, 3, 6), u'0')) + 12;
}

// A number box's length limit stops the user from typing past the field's
// length; it is no rule about values. A longer text restored from the
// settings, which are trusted as stored, is shown and stored whole, as
// Qt would otherwise cut it to the limit and the next store would save it
// cut. So the loader raises the limit to such a text, and the limit
// follows the text back down as it gets shorter, never below the field's
// length: while the text is too long the user can only shorten it.
void followText(QLineEdit* box, int fieldLength) {
    const int wanted = std::max(fieldLength, static_cast<int>(box->text().size()));
    if (wanted >= box->maxLength()) return;
    // A new limit puts the text back in with the cursor at its end; the
    // user's place in it is kept.
    const int cursor = box->cursorPosition();
    box->setMaxLength(wanted);
    box->setCursorPosition(cursor);
}

QLabel* newLabel(const QString& text, QWidget* parent) {
    auto* l = new QLabel(text, parent);
    // A caption is as wide as its text needs; the layouts never squeeze it.
    l->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    l->setMinimumWidth(l->sizeHint().width());
    return l;
}

// One column or group of fields: caption, control and hint per row.
struct SectionGrid {
    QWidget* box = nullptr;
    QGridLayout* grid = nullptr;
};

// The IMGSHP tab stacks seven rows, a group of three and the file row in
// the tab's fixed height: rows sit close together.
constexpr int kRowSpacing = 1;

}  // namespace

std::span<QComboBox*> FrmImage::listSlots(Control control) {
    switch (control) {
        case Control::CmbImgSnp:
            return CmbImgSnp;
        case Control::CmbImgShp:
            return CmbImgShp;
        case Control::CmbImgBox:
            return CmbImgBox;
        default:
            return {};
    }
}

std::span<QLineEdit*> FrmImage::textSlots(Control control) {
    switch (control) {
        case Control::TxtImgSnp:
            return TxtImgSnp;
        case Control::TxtImgShp:
            return TxtImgShp;
        case Control::TxtImgBox:
            return TxtImgBox;
        case Control::TxtImgBoxmm:
            return TxtImgBoxmm;
        default:
            return {};
    }
}

std::span<QLabel*> FrmImage::labelSlots(Tab tab) {
    switch (tab) {
        case Tab::Snp:
            return LblSnp;
        case Tab::Shp:
            return LblShp;
        case Tab::Box:
            return LblBox;
    }
    return {};
}

namespace {
// The element at `index`, or null outside the array.
template <typename T>
T* slotAt(std::span<T*> array, int index) {
    return index >= 0 && static_cast<std::size_t>(index) < array.size()
               ? array[static_cast<std::size_t>(index)]
               : nullptr;
}
}  // namespace

// The lookups only read the arrays; the slot accessors are shared with the
// building, which fills them.
QComboBox* FrmImage::listOf(FieldId id) const {
    return slotAt(const_cast<FrmImage*>(this)->listSlots(id.control), id.index);
}

QLineEdit* FrmImage::textOf(FieldId id) const {
    return slotAt(const_cast<FrmImage*>(this)->textSlots(id.control), id.index);
}

QLabel* FrmImage::labelOf(Tab tab, int index) const {
    return slotAt(const_cast<FrmImage*>(this)->labelSlots(tab), index);
}

void FrmImage::buildTabs() {
    for (int t = 0; t < image::kTabCount; ++t) {
        const Tab tab = static_cast<Tab>(t);
        SSTabImage->addTab(buildTab(tab), QString::fromUtf16(image::table(tab).caption));
    }
    SSTabImage->setCurrentIndex(static_cast<int>(Tab::Shp));
}

QWidget* FrmImage::buildTab(Tab tab) {
    const image::TabTable& t = image::table(tab);
    const int ti = static_cast<int>(tab);
    const auto ts = static_cast<std::size_t>(ti);
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("Tab%1").arg(ti));

    // Sections first: plain columns are bare widgets, groups are boxes.
    std::map<Section, SectionGrid> sections;
    auto sectionFor = [&](Section s) -> SectionGrid& {
        SectionGrid& g = sections[s];
        if (!g.box) {
            const QString caption = image::sectionCaption(s);
            g.box = caption.isEmpty() ? new QWidget(page) : new QGroupBox(caption, page);
            g.grid = new QGridLayout(g.box);
            g.grid->setVerticalSpacing(kRowSpacing);
            g.grid->setHorizontalSpacing(3);
            if (caption.isEmpty()) {
                g.grid->setContentsMargins(0, 0, 0, 0);
            } else {
                g.grid->setContentsMargins(4, 0, 4, 2);
            }
        }
        return g;
    };

    for (const Field& f : t.fields) {
        SectionGrid& g = sectionFor(f.place.section);
        QWidget* parent = g.box;
        const QString name =
            QString::fromLatin1(image::controlName(f.id.control)) + QString::number(f.id.index);
        QWidget* control = nullptr;
        if (f.kind == Kind::List) {
            auto* list = new QComboBox(parent);
            list->setEditable(false);
            list->setSizeAdjustPolicy(QComboBox::AdjustToContents);
            control = list;
            listSlots(f.id.control)[static_cast<std::size_t>(f.id.index)] = list;
            if (f.id.control == Control::CmbImgShp) {
                connect(list, &QComboBox::currentIndexChanged, this,
                        [this, i = f.id.index] { CmbImgShp_Click(i); });
            } else if (f.id.control == Control::CmbImgBox) {
                connect(list, &QComboBox::currentIndexChanged, this,
                        [this, i = f.id.index] { CmbImgBox_Click(i); });
            }
        } else {
            auto* box = new QLineEdit(parent);
            box->setMaxLength(f.maxLength);
            box->setFixedWidth(boxWidth(*box, f.maxLength));
            connect(box, &QLineEdit::textChanged, box,
                    [box, length = f.maxLength] { followText(box, length); });
            control = box;
            const auto i = static_cast<std::size_t>(f.id.index);
            textSlots(f.id.control)[i] = box;
        }
        control->setObjectName(name);

        auto* label = newLabel(QString::fromUtf16(f.caption), parent);
        label->setObjectName(QString::fromLatin1(image::labelArrayName(tab)) +
                             QString::number(f.label));
        // The caption names the field for mnemonics and screen readers.
        label->setBuddy(control);
        labelSlots(tab)[static_cast<std::size_t>(f.label)] = label;
        const int row = f.place.row;
        const int col = f.place.column * 3;
        if (f.note) {
            // A unit line under the caption. Both stay children of the
            // section, so the caption still labels the field for readers.
            auto* block = new QVBoxLayout;
            block->setSpacing(0);
            block->addWidget(label);
            auto* note = newLabel(QString::fromUtf16(f.note), parent);
            note->setObjectName(label->objectName() + QStringLiteral("Note"));
            block->addWidget(note);
            g.grid->addLayout(block, row, col, Qt::AlignLeft | Qt::AlignVCenter);
        } else {
            g.grid->addWidget(label, row, col, Qt::AlignLeft | Qt::AlignVCenter);
        }
        // The hint stands right beside its box, whatever the column's width.
        auto* cell = new QHBoxLayout;
        cell->setSpacing(4);
        cell->addWidget(control);
        if (f.hint) {
            auto* hint = newLabel(QString::fromUtf16(f.hint), parent);
            hint->setObjectName(name + QStringLiteral("Hint"));
            cell->addWidget(hint);
        }
        cell->addStretch(1);
        g.grid->addLayout(cell, row, col + 1);
        // Room between side-by-side fields of a group.
        if (f.place.column > 0) g.grid->setColumnMinimumWidth(col - 1, 12);
    }

    // Run and revert side by side at the tab's top right, above the right
    // column: beside it they would cost the width the captions need.
    auto* buttons = new QWidget(page);
    auto* bl = new QHBoxLayout(buttons);
    bl->setContentsMargins(0, 0, 0, 0);
    bl->setSpacing(6);
    CmdImgExec[ts] = new QPushButton(image::kRunCaption, buttons);
    CmdImgExec[ts]->setObjectName(QStringLiteral("CmdImgExec%1").arg(ti));
    CmdCancel[ts] = new QPushButton(image::kRevertCaption, buttons);
    CmdCancel[ts]->setObjectName(QStringLiteral("CmdCancel%1").arg(ti));
    bl->addStretch(1);
    bl->addWidget(CmdImgExec[ts]);
    bl->addWidget(CmdCancel[ts]);
    connect(CmdImgExec[ts], &QPushButton::clicked, this, [this, ti] { CmdImgExec_Click(ti); });
    connect(CmdCancel[ts], &QPushButton::clicked, this, [this, ti] { CmdCancel_Click(ti); });

    if (t.hasFile) {
        SectionGrid& g = sectionFor(t.displayCheck.section);
        ChkImageDisp[ts] = new QCheckBox(image::kDisplayCaption, g.box);
        ChkImageDisp[ts]->setObjectName(QStringLiteral("ChkImageDisp%1").arg(ti));
        g.grid->addWidget(ChkImageDisp[ts], t.displayCheck.row, 0, 1, 3);
    }

    auto* top = new QVBoxLayout(page);
    top->setContentsMargins(6, 2, 6, 2);
    top->setSpacing(2);
    auto* columns = new QHBoxLayout;
    columns->setSpacing(16);
    top->addLayout(columns);
    auto add = [&](QBoxLayout* layout, Section s, int stretch = 0) {
        auto it = sections.find(s);
        if (it != sections.end()) layout->addWidget(it->second.box, stretch, Qt::AlignTop);
    };
    // Left column, then the buttons over the right column.
    add(columns, Section::Left);
    columns->addStretch(1);
    auto* right = new QVBoxLayout;
    right->setSpacing(kRowSpacing + 2);
    right->addWidget(buttons);
    add(right, Section::Right);
    right->addStretch(1);
    columns->addLayout(right);

    switch (tab) {
        case Tab::Snp:
            top->addStretch(1);
            break;
        case Tab::Shp: {
            auto* groups = new QHBoxLayout;
            groups->setSpacing(10);
            add(groups, Section::Trim);
            add(groups, Section::Send);
            groups->addStretch(1);
            top->addLayout(groups);
            break;
        }
        case Tab::Box: {
            auto* lower = new QHBoxLayout;
            lower->setSpacing(5);
            auto* first = new QVBoxLayout;
            first->setSpacing(4);
            add(first, Section::BarcodeSize);
            add(first, Section::AreaSize);
            first->addStretch(1);
            auto* middle = new QVBoxLayout;
            middle->setSpacing(4);
            // The note says from where the offsets are measured.
            SectionGrid& pos = sectionFor(Section::AreaPosition);
            LblPositionNote = new QLabel(image::kPositionNote, pos.box);
            LblPositionNote->setObjectName(QStringLiteral("LblPositionNote"));
            LblPositionNote->setWordWrap(true);
            pos.grid->addWidget(LblPositionNote, 2, 0, 1, 3);
            add(middle, Section::AreaPosition);
            auto* compute = new QHBoxLayout;
            LblCompute = new QLabel(image::kComputePrompt, page);
            LblCompute->setObjectName(QStringLiteral("LblCompute"));
            LblCompute->setWordWrap(true);
            BtnCompute = new QPushButton(image::kComputeCaption, page);
            BtnCompute->setObjectName(QStringLiteral("BtnCompute"));
            connect(BtnCompute, &QPushButton::clicked, this, &FrmImage::BtnCompute_Click);
            compute->addWidget(LblCompute, 1);
            compute->addWidget(BtnCompute, 0, Qt::AlignVCenter);
            middle->addLayout(compute);
            middle->addStretch(1);
            lower->addLayout(first);
            lower->addLayout(middle);
            add(lower, Section::Computed);
            lower->addStretch(1);
            top->addLayout(lower);
            break;
        }
    }

    if (t.hasFile) {
        auto* file = new QHBoxLayout;
        file->setSpacing(4);
        LblFname[ts] = newLabel(image::kFileCaption, page);
        LblFname[ts]->setObjectName(QStringLiteral("LblFname%1").arg(ti));
        TxtImageFile[ts] = new QLineEdit(page);
        TxtImageFile[ts]->setObjectName(QStringLiteral("TxtImageFile%1").arg(ti));
        LblFname[ts]->setBuddy(TxtImageFile[ts]);
        BtnRefFile[ts] = new QPushButton(image::kBrowseCaption, page);
        BtnRefFile[ts]->setObjectName(QStringLiteral("BtnRefFile%1").arg(ti));
        connect(BtnRefFile[ts], &QPushButton::clicked, this, [this, ti] { BtnRefFile_Click(ti); });
        file->addWidget(LblFname[ts]);
        file->addWidget(TxtImageFile[ts], 1);
        file->addWidget(BtnRefFile[ts]);
        top->addStretch(1);
        top->addLayout(file);
    }
    return page;
}

void FrmImage::AddListItem(QComboBox* list, std::int16_t itemData, const QString& text) {
    list->addItem(text, QVariant::fromValue<int>(itemData));
}

void FrmImage::fillLists() {
    // Every list of a tab is emptied before the first is filled again.
    for (int t = 0; t < image::kTabCount; ++t) {
        const auto fields = image::table(static_cast<Tab>(t)).fields;
        for (const Field& f : fields) {
            if (QComboBox* list = listOf(f.id)) list->clear();
        }
        for (const Field& f : fields) {
            QComboBox* list = listOf(f.id);
            if (!list) continue;
            for (const image::Item& item : f.items) {
                AddListItem(list, item.data, QString::fromUtf16(item.text));
            }
        }
    }
}

void FrmImage::SetListIndexOrDefault(QComboBox* list, const QString& stored,
                                     std::int16_t defaultIndex) {
    selectListItem(list, image::listIndexOrDefault(list->count(), stored, defaultIndex));
}

void FrmImage::selectListItem(QComboBox* list, int index) {
    if (index < 0 || index >= list->count()) return;
    if (list->currentIndex() == index) {
        // Selecting the item that is selected already still counts as a
        // selection: its handler runs as for any other.
        emit list->currentIndexChanged(index);
    } else {
        list->setCurrentIndex(index);
    }
}

void FrmImage::SetTextOrDefault(QLineEdit* box, const QString& stored, const QString& fallback) {
    const QString text = image::textOrDefault(stored, fallback);
    // Shown whole even where it is longer than the box's limit (see
    // followText).
    if (text.size() > box->maxLength()) box->setMaxLength(static_cast<int>(text.size()));
    box->setText(text);
}

image::Values FrmImage::values(Tab tab) const {
    const auto fields = image::table(tab).fields;
    image::Values out(fields.size());
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (QComboBox* list = listOf(fields[i].id)) {
            out[i].listIndex = list->currentIndex();
        } else if (QLineEdit* box = textOf(fields[i].id)) {
            out[i].text = box->text();
        }
    }
    return out;
}

void FrmImage::setValues(Tab tab, const image::Values& v) {
    const auto fields = image::table(tab).fields;
    for (std::size_t i = 0; i < fields.size() && i < v.size(); ++i) {
        if (QComboBox* list = listOf(fields[i].id)) {
            selectListItem(list, v[i].listIndex);
        } else if (QLineEdit* box = textOf(fields[i].id)) {
            SetTextOrDefault(box, v[i].text, QString());
        }
    }
}

void FrmImage::loadTab(Tab tab, const QString& stored, const QString& file) {
    setValues(tab, image::loadFields(tab, stored));
    const auto ti = static_cast<std::size_t>(tab);
    if (TxtImageFile[ti]) SetTextOrDefault(TxtImageFile[ti], image::wellFormed(file), QString());
}

void FrmImage::storeTab(Tab tab, QString& stored, QString* file) {
    stored = image::storeFields(tab, values(tab));
    const auto ti = static_cast<std::size_t>(tab);
    if (file && TxtImageFile[ti]) *file = TxtImageFile[ti]->text();
}

void FrmImage::LoadImgSnpFields() {
    loadTab(Tab::Snp, c_.ImgSnpSetting, QString());
}
void FrmImage::LoadImgShpFields() {
    loadTab(Tab::Shp, c_.ImgShpSetting, c_.ImgShpFileSetting);
}
void FrmImage::LoadImgBoxFields() {
    loadTab(Tab::Box, c_.ImgBoxSetting, c_.ImgBoxFileSetting);
}
void FrmImage::StoreImgSnpFields() {
    storeTab(Tab::Snp, c_.ImgSnpSetting, nullptr);
}
void FrmImage::StoreImgShpFields() {
    storeTab(Tab::Shp, c_.ImgShpSetting, &c_.ImgShpFileSetting);
}
void FrmImage::StoreImgBoxFields() {
    storeTab(Tab::Box, c_.ImgBoxSetting, &c_.ImgBoxFileSetting);
}

void FrmImage::displayRule(int format, QCheckBox* check) {
    // JPEG and BMP can be shown; the check box's state is left as it is.
    check->setEnabled(format >= 6);
}

void FrmImage::CmbImgShp_Click(int index) {
    if (index != 0) return;
    displayRule(CmbImgShp[0]->currentData().toInt(), ChkImageDisp[1]);
}

void FrmImage::CmbImgBox_Click(int index) {
    if (index != 0) return;
    displayRule(CmbImgBox[0]->currentData().toInt(), ChkImageDisp[2]);
}

void FrmImage::SetImageControlsEnabled(bool enabled) {
    auto set = [enabled](auto& widgets) {
        for (QWidget* w : widgets) {
            if (w) w->setEnabled(enabled);
        }
    };
    set(CmdImgExec);
    set(CmdCancel);
    set(TxtImageFile);
    set(BtnRefFile);
    set(ChkImageDisp);
    BtnCompute->setEnabled(enabled);
    SSTabImage->setEnabled(enabled);
    set(BtnComSetting);
    set(CmbImgSnp);
    set(TxtImgSnp);
    set(CmbImgShp);
    set(TxtImgShp);
    set(CmbImgBox);
    set(TxtImgBox);
    set(TxtImgBoxmm);
}

void FrmImage::CmdCancel_Click(int index) {
    switch (index) {
        case 0:
            LoadImgSnpFields();
            break;
        case 1:
            LoadImgShpFields();
            break;
        case 2:
            LoadImgBoxFields();
            break;
        default:
            break;
    }
}

void FrmImage::BtnCompute_Click() {
    std::array<QString, 6> mm;
    for (std::size_t i = 0; i < mm.size(); ++i) mm[i] = TxtImgBoxmm[i]->text();
    const image::ComputedArea area = image::computeArea(mm);
    if (!area.ok) {
        dialog().message(image::notANumberText());
        TxtImgBoxmm[0]->setFocus();
        return;
    }
    for (std::size_t i = 0; i < area.box.size(); ++i) {
        if (area.box[i]) TxtImgBox[i]->setText(*area.box[i]);
    }
}

// ---- Checks on leaving a number field ----

void FrmImage::validate(FieldId id, bool& cancel) {
    cancel = false;
    QLineEdit* box = textOf(id);
    const Field* f = image::field(id);
    if (!box || !f) return;
    const image::Checked checked = image::checkField(*f, box->text());
    if (checked.text != box->text()) box->setText(checked.text);
    if (checked.accepted) return;
    validating_ = true;
    dialog().message(checked.message);
    validating_ = false;
    cancel = true;
    box->setFocus(Qt::OtherFocusReason);
}

void FrmImage::TxtImgSnp_Validate(int index, bool& cancel) {
    validate({Control::TxtImgSnp, index}, cancel);
}
void FrmImage::TxtImgShp_Validate(int index, bool& cancel) {
    validate({Control::TxtImgShp, index}, cancel);
}
void FrmImage::TxtImgBox_Validate(int index, bool& cancel) {
    validate({Control::TxtImgBox, index}, cancel);
}
void FrmImage::TxtImgBoxmm_Validate(int index, bool& cancel) {
    validate({Control::TxtImgBoxmm, index}, cancel);
}

std::optional<FieldId> FrmImage::numberField(const QObject* w) const {
    if (!w) return std::nullopt;
    for (const Control c :
         {Control::TxtImgSnp, Control::TxtImgShp, Control::TxtImgBox, Control::TxtImgBoxmm}) {
        const std::span<QLineEdit*> boxes = const_cast<FrmImage*>(this)->textSlots(c);
        for (std::size_t i = 0; i < boxes.size(); ++i) {
            if (boxes[i] == w) return FieldId{c, static_cast<int>(i)};
        }
    }
    return std::nullopt;
}

bool FrmImage::leaveFocusedField(QWidget* target) {
    if (validating_) return true;
    QWidget* focused = QApplication::focusWidget();
    const auto id = numberField(focused);
    if (!id || target == focused || target->window() != this) return true;
    bool cancel = false;
    switch (id->control) {
        case Control::TxtImgSnp:
            TxtImgSnp_Validate(id->index, cancel);
            break;
        case Control::TxtImgShp:
            TxtImgShp_Validate(id->index, cancel);
            break;
        case Control::TxtImgBox:
            TxtImgBox_Validate(id->index, cancel);
            break;
        default:
            TxtImgBoxmm_Validate(id->index, cancel);
            break;
    }
    return !cancel;
}

bool FrmImage::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick: {
            auto* w = qobject_cast<QWidget*>(watched);
            if (!w || !w->isEnabled() || w->window() != this) break;
            // Qt hands the focus to a clicked control before anyone sees the
            // press, so a field left that way has just reported its focus
            // out: its check runs now, and a refusal swallows the press, so
            // that the click never happens.
            if (leaving_) {
                const FieldId id = *leaving_;
                leaving_.reset();
                bool cancel = false;
                validate(id, cancel);
                if (cancel) return true;
                break;
            }
            // A press that moves no focus but still leaves the field (the
            // tab bar switches the page under it).
            if (qobject_cast<QTabBar*>(w) && !leaveFocusedField(w)) return true;
            break;
        }
        case QEvent::KeyPress: {
            auto* key = static_cast<QKeyEvent*>(event);
            if ((key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) &&
                numberField(watched)) {
                auto* w = static_cast<QWidget*>(watched);
                if (!leaveFocusedField(w->nextInFocusChain())) return true;
            }
            break;
        }
        case QEvent::FocusOut: {
            // Leaving for another window or a popup is no leave of this
            // window's field; a message box of the check itself neither.
            const auto id = numberField(watched);
            if (!id || validating_) break;
            const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
            if (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason ||
                reason == Qt::MenuBarFocusReason) {
                break;
            }
            QWidget* next = QApplication::focusWidget();
            if (!next || next->window() != this) break;
            // A press that caused this runs the check itself (above); any
            // other way out (a mnemonic, a program step) is checked once the
            // move is done, bringing the focus back on refusal.
            leaving_ = *id;
            QMetaObject::invokeMethod(
                this,
                [this] {
                    if (!leaving_) return;
                    const FieldId left = *leaving_;
                    leaving_.reset();
                    bool cancel = false;
                    validate(left, cancel);
                },
                Qt::QueuedConnection);
            break;
        }
        default:
            break;
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace tavorin
