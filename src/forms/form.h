#pragma once
// Windows as the program uses them: each exists once, is loaded on first reference (without being
// shown), shown modeless, hidden, and unloaded with a reason that its handlers can inspect.
#include <QCheckBox>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/host.h"
#include "platform/windows.h"

class QAbstractButton;
class QCloseEvent;

namespace bm::forms {

// Builds a window without its controls, for the start-up's preload: it loads and unloads each
// dialog while their Form_Load returns at once, and no unload handler touches a control then.
struct Bare {};

// Why a window unloads.
enum UnloadMode : std::int16_t {
    vbFormControlMenu = 0,
    vbFormCode = 1,
    vbAppWindows = 2,  // the session is ending
    vbAppTaskManager = 3,
};

class Form : public QWidget {
  public:
    const std::string& Name() const { return name_; }
    // Shows it modeless and brings it forward; shown again, the same window comes forward.
    void Show();
    void Hide();
    bool Visible() const { return isVisible(); }

    // Handlers; Cancel set to nonzero keeps the window loaded.
    virtual void Form_Load() {}
    virtual void Form_QueryUnload(std::int16_t& /*Cancel*/, std::int16_t /*UnloadMode*/) {}
    virtual void Form_Unload(std::int16_t& /*Cancel*/) {}

  protected:
    explicit Form(std::string name, Qt::WindowFlags flags = Qt::Window);
    // A host timer that stops when the window unloads; the window owns it.
    platform::Timer& NewTimer(int interval, std::function<void()> handler);
    // Esc clicks this button, wherever the focus is in the window.
    void SetCancelButton(QAbstractButton* button);
    // The close box unloads with reason 0.
    void closeEvent(QCloseEvent* event) override;

  private:
    friend class FormRegistry;
    void StopTimers();
    std::string name_;
    std::vector<std::unique_ptr<platform::Timer>> timers_;
    bool unloading_ = false;
    bool bare_ = false;
};

// A check box as the windows keep it: its value is 0, 1, or 2 for greyed. Only code gives it 2 (a
// hand-edited settings file); the user's clicks give 1 from greyed or clear, and 0 from checked.
class CheckBox : public QCheckBox {
  public:
    CheckBox(const QString& text, QWidget* parent);
    std::int32_t Value() const;
    void SetValue(std::int32_t value);
    // Runs handler on every change of the value, however it came (mouse, keyboard, an
    // accessibility action, code), as Click is raised; also inside another handler.
    void OnClick(std::function<void()> handler);
    using QCheckBox::initStyleOption;  // for its accessible interface

  protected:
    void nextCheckState() override;
};

// The loaded windows of the program.
class FormRegistry {
  public:
    using Factory = std::function<Form*()>;
    // bare builds it without its controls (see Bare); may be empty.
    static void Register(const std::string& name, Factory factory, Factory bare = nullptr);
    // The loaded window, or null.
    static Form* Find(const std::string& name);
    // The loaded window, loading it first if needed. Throws std::logic_error for an unknown name,
    // or for a window loaded bare.
    static Form& Get(const std::string& name);
    // Loads it for the start-up's preload: bare where it can be built so.
    static Form& LoadBare(const std::string& name);
    // QueryUnload, Unload, then the window goes; false when a handler cancelled. A window that
    // is not loaded, or is unloading already, is left alone (true).
    static bool Unload(const std::string& name, std::int16_t mode = vbFormCode);
    static bool Unload(Form& form, std::int16_t mode = vbFormCode);
    static int LoadedCount();
    // The program ends once no window is loaded and the start-up procedure has returned.
    static void SetMainReturned();
    // What ending the program does; QCoreApplication::exit(0) unless a test replaces it.
    static void SetOnProgramEnd(std::function<void()> onEnd);
    // Every loaded window destroyed without its handlers, and the end of the program forgotten:
    // what is left once the event loop has returned, and a clean slate for the next test.
    static void DestroyAll();

  private:
    static Form& Load(const std::string& name, bool bare);
    static void CheckEnd();
};

// Gives a control (or a menu item) its name, by which the trace and the desktop tests find it.
template <typename O>
O* Named(O* object, const char* name) {
    object->setObjectName(QString::fromLatin1(name));
    return object;
}

// The window of type F, loaded on first reference. F names itself with a static kName.
template <typename F>
F& Ref() {
    return static_cast<F&>(FormRegistry::Get(F::kName));
}
template <typename F>
F* Loaded() {
    return static_cast<F*>(FormRegistry::Find(F::kName));
}
template <typename F>
bool Unload(std::int16_t mode = vbFormCode) {
    return FormRegistry::Unload(F::kName, mode);
}
template <typename F>
void RegisterForm() {
    if constexpr (std::is_constructible_v<F, Bare>) {
        FormRegistry::Register(
            F::kName, [] { return new F; }, [] { return new F(Bare{}); });
    } else {
        FormRegistry::Register(F::kName, [] { return new F; });
    }
}

// The start-up sequence's view of the windows.
class QtWindows : public platform::Windows {
  public:
    explicit QtWindows(std::function<bool()> prevInstance)
        : prevInstance_(std::move(prevInstance)) {}
    bool PrevInstance() override { return prevInstance_ && prevInstance_(); }
    // Only the start-up's preload loads a window without showing it, to unload it at once.
    void Load(const std::string& form) override { FormRegistry::LoadBare(form); }
    void Show(const std::string& form) override { FormRegistry::Get(form).Show(); }
    void Unload(const std::string& form) override { FormRegistry::Unload(form, vbFormCode); }

  private:
    std::function<bool()> prevInstance_;
};

}  // namespace bm::forms
