#include "forms/form.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGroupBox>
#include <QKeySequence>
#include <QShortcut>
#include <QStyle>
#include <QStyleOptionButton>
#include <algorithm>
#include <map>
#include <stdexcept>
#include <utility>

#include "platform/services.h"
#include "platform/trace.h"

namespace bm::forms {
namespace {

struct State {
    std::map<std::string, FormRegistry::Factory> factories;
    std::map<std::string, FormRegistry::Factory> bareFactories;
    std::vector<Form*> loaded;  // in load order
    bool mainReturned = false;
    std::function<void()> onEnd;
};

State& S() {
    static State state;
    return state;
}

void TraceForm(const char* what, const std::string& name) {
    platform::Trace(platform::TraceCategory::Forms, std::string(what) + " " + name);
}

// A caption as read out: a lone "&" marks the access key; "&&" is an ampersand.
QString Caption(const QString& text) {
    QString plain;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('&') && i + 1 < text.size()) {
            ++i;
        }
        plain += text[i];
    }
    return plain;
}

// Qt takes a plain QWidget for a pane ("filler"), whatever its window type: a screen reader
// would not announce the window by its title.
class WindowAccessible : public QAccessibleWidget {
  public:
    explicit WindowAccessible(QWidget* window) : QAccessibleWidget(window, QAccessible::Window) {}
    QAccessible::Role role() const override {
        return widget()->windowType() == Qt::Dialog ? QAccessible::Dialog : QAccessible::Window;
    }
};

// Qt names a frame or group without a name of its own after the group around it, so that
// "Icon Features:" inside "Drive" read as a second "Drive". Each is named by its own caption.
class GroupAccessible : public QAccessibleWidget {
  public:
    explicit GroupAccessible(QWidget* group) : QAccessibleWidget(group, QAccessible::Grouping) {}
    QString text(QAccessible::Text t) const override {
        if (t != QAccessible::Name) {
            return QAccessibleWidget::text(t);
        }
        if (!widget()->accessibleName().isEmpty()) {
            return widget()->accessibleName();
        }
        const auto* group = qobject_cast<const QGroupBox*>(widget());
        return group != nullptr ? Caption(group->title()) : QString();
    }
    // A captioned group labels what it holds, as Qt's own group does.
    QList<QPair<QAccessibleInterface*, QAccessible::Relation>> relations(
        QAccessible::Relation match) const override {
        auto found = QAccessibleWidget::relations(match);
        const auto* group = qobject_cast<const QGroupBox*>(widget());
        if ((match & QAccessible::Labelled) == 0 || group == nullptr || group->title().isEmpty()) {
            return found;
        }
        for (QWidget* child : widget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(child)) {
                found.append({iface, QAccessible::Labelled});
            }
        }
        return found;
    }
};

// Qt 6.4 reads a greyed box as checked, and toggles it to clear where a click checks it. A
// screen reader hears it as it is shown (mixed), and its press is a click.
class CheckBoxAccessible : public QAccessibleWidget {
  public:
    explicit CheckBoxAccessible(CheckBox* box) : QAccessibleWidget(box, QAccessible::CheckBox) {}
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name && widget()->accessibleName().isEmpty()) {
            return Caption(Box()->text());
        }
        if (t == QAccessible::Accelerator) {
            return QKeySequence::mnemonic(Box()->text()).toString(QKeySequence::NativeText);
        }
        return QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override {
        QAccessible::State shown = QAccessibleWidget::state();
        shown.checkable = true;
        shown.checked = Box()->checkState() == Qt::Checked;
        shown.checkStateMixed = Box()->checkState() == Qt::PartiallyChecked;
        shown.pressed = Box()->isDown();
        return shown;
    }
    // Where a click toggles it, as Qt's own check box tells.
    QRect rect() const override {
        if (!widget()->isVisible()) {
            return {};
        }
        QStyleOptionButton option;
        Box()->initStyleOption(&option);
        return widget()
            ->style()
            ->subElementRect(QStyle::SE_CheckBoxClickRect, &option, widget())
            .translated(widget()->mapToGlobal(QPoint(0, 0)));
    }
    QStringList actionNames() const override {
        QStringList names;
        if (widget()->isEnabled()) {
            names << toggleAction();
        }
        return names + QAccessibleWidget::actionNames();
    }
    void doAction(const QString& name) override {
        if (name != toggleAction()) {
            QAccessibleWidget::doAction(name);
        } else if (widget()->isEnabled()) {
            Box()->click();
        }
    }
    QStringList keyBindingsForAction(const QString& /*name*/) const override { return {}; }

  private:
    CheckBox* Box() const { return static_cast<CheckBox*>(widget()); }
};

// Asked before Qt's own factory, for each class of an object from the most derived up. While a
// widget is destroyed it is a plain QWidget again: neither the cast nor the class names match
// then, so nothing here hands out an interface for a dying widget.
QAccessibleInterface* FormsAccessible(const QString& className, QObject* object) {
    if (object == nullptr || !object->isWidgetType()) {
        return nullptr;
    }
    auto* widget = static_cast<QWidget*>(object);
    if (dynamic_cast<Form*>(widget) != nullptr) {
        return new WindowAccessible(widget);
    }
    if (auto* box = dynamic_cast<CheckBox*>(widget)) {
        return new CheckBoxAccessible(box);
    }
    if (className == QLatin1String("QFrame")) {
        return new GroupAccessible(widget);
    }
    if (className == QLatin1String("QGroupBox") &&
        !static_cast<QGroupBox*>(widget)->isCheckable()) {
        return new GroupAccessible(widget);
    }
    return nullptr;
}

}  // namespace

Form::Form(std::string name, Qt::WindowFlags flags)
    : QWidget(nullptr, flags), name_(std::move(name)) {
    static const bool accessible = [] {
        QAccessible::installFactory(&FormsAccessible);
        return true;
    }();
    (void)accessible;
    setObjectName(QString::fromStdString(name_));
}

CheckBox::CheckBox(const QString& text, QWidget* parent) : QCheckBox(parent) {
    // Not through QCheckBox's own constructor: setting the text there makes Qt take on its
    // accessible interface while this is still a plain QCheckBox.
    setText(text);
}

std::int32_t CheckBox::Value() const {
    switch (checkState()) {
        case Qt::Checked:
            return 1;
        case Qt::PartiallyChecked:
            return 2;
        default:
            return 0;
    }
}

void CheckBox::SetValue(std::int32_t value) {
    setTristate(value == 2);
    setCheckState(value == 1 ? Qt::Checked : value == 2 ? Qt::PartiallyChecked : Qt::Unchecked);
}

void CheckBox::OnClick(std::function<void()> handler) {
    // stateChanged, not clicked: an accessibility action toggles without a click, and code sets
    // values; not toggled, which misses the way out of greyed into clear.
    connect(this, &QCheckBox::stateChanged, this, [handler = std::move(handler)] { handler(); });
}

void CheckBox::nextCheckState() {
    setCheckState(checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
}

void Form::Show() {
    TraceForm("show", name_);
    show();
    raise();
    activateWindow();
}

void Form::Hide() {
    if (isVisible()) {
        TraceForm("hide", name_);
    }
    hide();
}

platform::Timer& Form::NewTimer(int interval, std::function<void()> handler) {
    timers_.push_back(platform::Get().host->CreateTimer());
    platform::Timer& timer = *timers_.back();
    timer.SetInterval(interval);
    timer.SetHandler(std::move(handler));
    return timer;
}

void Form::StopTimers() {
    for (auto& timer : timers_) {
        timer->SetEnabled(false);
    }
}

void Form::SetCancelButton(QAbstractButton* button) {
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, button, &QAbstractButton::click);
}

void Form::closeEvent(QCloseEvent* event) {
    // The window goes only through an unload, whose handlers decide.
    event->ignore();
    FormRegistry::Unload(*this, vbFormControlMenu);
}

void FormRegistry::Register(const std::string& name, Factory factory, Factory bare) {
    S().factories[name] = std::move(factory);
    if (bare) {
        S().bareFactories[name] = std::move(bare);
    } else {
        S().bareFactories.erase(name);
    }
}

Form* FormRegistry::Find(const std::string& name) {
    for (Form* form : S().loaded) {
        if (form->Name() == name) {
            return form;
        }
    }
    return nullptr;
}

Form& FormRegistry::Get(const std::string& name) {
    return Load(name, false);
}

Form& FormRegistry::LoadBare(const std::string& name) {
    return Load(name, true);
}

Form& FormRegistry::Load(const std::string& name, bool bare) {
    if (Form* form = Find(name)) {
        if (form->bare_ && !bare) {
            throw std::logic_error(name + " is loaded without its controls");
        }
        return *form;
    }
    const auto factory = S().factories.find(name);
    if (factory == S().factories.end()) {
        throw std::logic_error("no window named " + name);
    }
    const auto bareFactory = S().bareFactories.find(name);
    bare = bare && bareFactory != S().bareFactories.end();
    Form* form = bare ? bareFactory->second() : factory->second();
    form->bare_ = bare;
    // Listed before its load handler runs, so that a reference from inside finds it.
    S().loaded.push_back(form);
    TraceForm("load", name);
    form->Form_Load();
    return *form;
}

bool FormRegistry::Unload(const std::string& name, std::int16_t mode) {
    Form* form = Find(name);
    return form == nullptr || Unload(*form, mode);
}

bool FormRegistry::Unload(Form& form, std::int16_t mode) {
    if (form.unloading_ ||
        std::find(S().loaded.begin(), S().loaded.end(), &form) == S().loaded.end()) {
        return true;
    }
    form.unloading_ = true;
    platform::Trace(platform::TraceCategory::Forms,
                    "unload " + form.Name() + " " + std::to_string(mode));
    std::int16_t cancel = 0;
    form.Form_QueryUnload(cancel, mode);
    if (cancel == 0) {
        form.Form_Unload(cancel);
    }
    if (cancel != 0) {
        form.unloading_ = false;
        return false;
    }
    form.Hide();
    form.StopTimers();
    std::erase(S().loaded, &form);
    // Its own handler may be what unloads it: delete once that has returned.
    form.deleteLater();
    CheckEnd();
    return true;
}

int FormRegistry::LoadedCount() {
    return static_cast<int>(S().loaded.size());
}

void FormRegistry::SetMainReturned() {
    S().mainReturned = true;
    CheckEnd();
}

void FormRegistry::SetOnProgramEnd(std::function<void()> onEnd) {
    S().onEnd = std::move(onEnd);
}

void FormRegistry::CheckEnd() {
    if (!S().mainReturned || !S().loaded.empty()) {
        return;
    }
    if (S().onEnd) {
        S().onEnd();
    } else {
        QCoreApplication::exit(0);
    }
}

void FormRegistry::DestroyAll() {
    auto loaded = std::move(S().loaded);
    S().loaded.clear();
    for (Form* form : loaded) {
        form->StopTimers();
        delete form;
    }
    S().mainReturned = false;
    S().onEnd = nullptr;
}

}  // namespace bm::forms
