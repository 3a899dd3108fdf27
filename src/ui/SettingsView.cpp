#include "ui/SettingsView.h"

#include <QCheckBox>
#include <QFocusEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include "platform/Graphemes.h"
#include "platform/Preferences.h"
#include "session/FloatingPanel.h"
#include "session/HotkeyManager.h"
#include "session/PermissionManager.h"
#include "session/SessionManager.h"
#include "store/LocaleManager.h"
#include "store/Logger.h"
#include "ui/Dot.h"
#include "ui/PlainLabel.h"
#include "ui/SegmentedPicker.h"
#include "ui/ServiceTestSection.h"
#include "ui/ShortcutRecorderView.h"
#include "ui/Stepper.h"
#include "ui/Style.h"

namespace {

constexpr int kPadding = 16;
constexpr int kSectionSpacing = 16;
constexpr int kTitleSpacing = 4;
constexpr int kTitlePixels = 12;
constexpr int kLanguagePickerWidth = 200;
constexpr int kPromptPixels = 12;
constexpr int kPromptMinimumHeight = 100;
constexpr qreal kPromptBorderOpacity = 0.3;
constexpr int kPermissionDot = 8;

// The key fields and the line a change of each writes.
struct KeyField
{
    const char* titleKey;
    const char* key;
    const char* name;
    const char* line;
};

constexpr KeyField kKeyFields[] = {
    {"settings.openaiKey", PrefKey::apiKey, "openaiKeyField", "Settings: OpenAI API key updated"},
    {"settings.dashScopeKey", PrefKey::dashScopeApiKey, "dashScopeKeyField",
     "Settings: DashScope API key updated"},
    {"settings.deepSeekKey", PrefKey::deepSeekApiKey, "deepSeekKeyField",
     "Settings: DeepSeek API key updated"},
};

QPushButton* smallButton(const QString& name, const QString& text, QWidget* parent)
{
    auto* button = new QPushButton(text, parent);
    button->setObjectName(name);
    button->setFont(Style::font(Style::TextSize::smallControl));
    button->setFocusPolicy(Qt::TabFocus);
    return button;
}

QCheckBox* toggle(const QString& name, const QString& text, QWidget* parent)
{
    auto* box = new QCheckBox(text, parent);
    box->setObjectName(name);
    box->setFocusPolicy(Qt::TabFocus);
    return box;
}

}  // namespace

SettingsView::SettingsView(SessionManager& session, QWidget* parent)
    : QScrollArea(parent)
    , m_session(session)
    , m_preferences(session.preferences())
    , m_locale(session.locale())
    , m_logger(session.logger())
    , m_column(new QWidget(this))
    , m_sections(new QVBoxLayout(m_column))
{
    setObjectName(QStringLiteral("settingsScreen"));
    setFrameShape(QFrame::NoFrame);
    // Else a click on a button that takes no focus would give it to the
    // scroll area, ending the prompt's editing.
    setFocusPolicy(Qt::NoFocus);
    setWidgetResizable(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_column->setObjectName(QStringLiteral("settingsColumn"));
    m_sections->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
    m_sections->setSpacing(kSectionSpacing);
    // A click that no control takes ends any editing.
    m_column->installEventFilter(this);
    viewport()->installEventFilter(this);

    auto* languages = new SegmentedPicker({{QStringLiteral("English"), LocaleManager::kEnglish},
                                           {QStringLiteral("\u4e2d\u6587"), LocaleManager::kSimplifiedChinese}},
                                          m_column);
    languages->setObjectName(QStringLiteral("languagePicker"));
    languages->setMaximumWidth(kLanguagePickerWidth);
    languages->setSelected(m_locale.language());
    // The main window builds its content anew in the new language.
    connect(languages, &SegmentedPicker::chosen, &m_locale, &LocaleManager::setLanguage);
    connect(&m_locale, &LocaleManager::languageChanged, languages, &SegmentedPicker::setSelected);
    addSection("settings.language")->addWidget(languages, 0, Qt::AlignLeft);

    for (const KeyField& field : kKeyFields)
        buildKeyField(field.titleKey, field.key, QString::fromLatin1(field.name));
    buildModelPicker("settings.asrModel", PrefKey::asrModel, QStringLiteral("asrModelPicker"),
                     QStringLiteral("ASR"));
    buildModelPicker("settings.postModel", PrefKey::postProcessModel, QStringLiteral("postModelPicker"),
                     QStringLiteral("Post"));

    addSection("settings.apiTest")->addWidget(new ServiceTestSection(m_session, m_column));

    buildShortcut();
    buildFloatingPanel();
    buildSliceDuration();
    buildPrompt();
    buildPermissions();
    buildDebugMode();
    m_sections->addStretch(1);
    setWidget(m_column);

    for (const QString& key : m_shown.keys())
        m_shown[key] = stored(key);
    connect(&m_preferences, &Preferences::changed, this, &SettingsView::onPreferenceChanged);
    loadPromptDraft();
}

SettingsView::~SettingsView()
{
    // Going without being hidden first: the draft is kept all the same.
    if (isVisible())
        storePromptDraft();
}

QVBoxLayout* SettingsView::addSection(const char* titleKey)
{
    auto* section = new QVBoxLayout;
    section->setSpacing(kTitleSpacing);
    const QString title = m_locale.text(QString::fromLatin1(titleKey));
    if (titleKey[0] != '\0') {
        auto* label = new QLabel(title, m_column);
        label->setObjectName(QStringLiteral("sectionTitle"));
        label->setTextFormat(Qt::PlainText);
        label->setFont(Style::font(kTitlePixels, QFont::DemiBold));
        Style::setTextColour(*label, Style::secondary(label->palette()));
        section->addWidget(label);
    }
    m_sections->addLayout(section);
    return section;
}

void SettingsView::buildKeyField(const char* titleKey, const char* key, const QString& name)
{
    auto* field = new QLineEdit(m_column);
    field->setObjectName(name);
    field->setPlaceholderText(QStringLiteral("sk-..."));
    field->setText(m_preferences.text(QString::fromLatin1(key)));
    // Stored as typed, spaces included, at every edit.
    connect(field, &QLineEdit::textEdited, this,
            [this, key](const QString& text) { m_preferences.setValue(QString::fromLatin1(key), text); });
    addSection(titleKey)->addWidget(field);
    m_keyFields.insert(QString::fromLatin1(key), field);
    m_shown.insert(QString::fromLatin1(key), {});
}

void SettingsView::buildModelPicker(const char* titleKey, const char* key, const QString& name,
                                    const QString& accessibleName)
{
    const QList<SegmentedPicker::Segment> segments = key == QLatin1String(PrefKey::asrModel)
        ? QList<SegmentedPicker::Segment>{
              {QStringLiteral("gpt-4o-mini-transcribe (OpenAI)"), QStringLiteral("gpt-4o-mini-transcribe")},
              {QStringLiteral("qwen3-asr (DashScope)"), QStringLiteral("qwen3-asr")}}
        : QList<SegmentedPicker::Segment>{
              {QStringLiteral("gpt-4o-mini"), QStringLiteral("gpt-4o-mini")},
              {QStringLiteral("gpt-4o"), QStringLiteral("gpt-4o")},
              {QStringLiteral("deepseek"), QStringLiteral("deepseek-chat")}};
    auto* picker = new SegmentedPicker(segments, m_column);
    picker->setObjectName(name);
    picker->setAccessibleName(accessibleName);
    picker->setSelected(stored(QString::fromLatin1(key)).toString());
    connect(picker, &SegmentedPicker::chosen, this,
            [this, key](const QString& value) { m_preferences.setValue(QString::fromLatin1(key), value); });
    addSection(titleKey)->addWidget(picker);
    m_pickers.insert(QString::fromLatin1(key), picker);
    m_shown.insert(QString::fromLatin1(key), {});
}

void SettingsView::buildShortcut()
{
    QVBoxLayout* section = addSection("settings.shortcut");
    auto* row = new QHBoxLayout;
    row->addWidget(new ShortcutRecorderView(m_preferences, m_column), 1, Qt::AlignVCenter);
    auto* reset = smallButton(QStringLiteral("shortcutReset"), m_locale.text(QStringLiteral("settings.reset")),
                              m_column);
    connect(reset, &QPushButton::clicked, this, [this] {
        m_preferences.setValue(QString::fromLatin1(PrefKey::shortcut),
                               QString::fromUtf8(Preferences::kDefaultShortcut));
    });
    row->addWidget(reset, 0, Qt::AlignVCenter);
    row->addStretch(1);
    section->addLayout(row);

    m_hotkeyWarning = new PlainLabel(0, m_column);
    m_hotkeyWarning->setObjectName(QStringLiteral("hotkeyWarning"));
    m_hotkeyWarning->setFont(Style::font(Style::TextSize::caption));
    Style::setTextColour(*m_hotkeyWarning, Style::orange);
    m_hotkeyWarning->hide();
    section->addWidget(m_hotkeyWarning);
    m_shown.insert(QString::fromLatin1(PrefKey::shortcut), {});
}

void SettingsView::buildFloatingPanel()
{
    m_floatingToggle = toggle(QStringLiteral("showFloatingToggle"),
                              m_locale.text(QStringLiteral("settings.showFloating")), m_column);
    m_floatingToggle->setChecked(m_preferences.showFloatingPanel());
    connect(m_floatingToggle, &QCheckBox::clicked, this, [this](bool checked) {
        m_preferences.setValue(QString::fromLatin1(PrefKey::showFloatingPanel), checked);
    });
    addSection("settings.floatingPanel")->addWidget(m_floatingToggle, 0, Qt::AlignLeft);
    m_shown.insert(QString::fromLatin1(PrefKey::showFloatingPanel), {});
}

void SettingsView::buildSliceDuration()
{
    auto* row = new QHBoxLayout;
    m_sliceStepper = new Stepper(kSliceMinimum, kSliceMaximum, kSliceStep, m_column);
    m_sliceStepper->setObjectName(QStringLiteral("sliceStepper"));
    m_sliceStepper->setValue(m_preferences.sliceDuration());
    connect(m_sliceStepper, &Stepper::stepped, this, [this](int seconds) {
        m_preferences.setValue(QString::fromLatin1(PrefKey::sliceDuration), seconds);
    });
    row->addWidget(m_sliceStepper, 0, Qt::AlignVCenter);
    auto* hint = new QLabel(m_locale.text(QStringLiteral("settings.secondsPerSlice")), m_column);
    hint->setObjectName(QStringLiteral("sliceHint"));
    hint->setTextFormat(Qt::PlainText);
    hint->setFont(Style::font(Style::TextSize::caption));
    Style::setTextColour(*hint, Style::secondary(hint->palette()));
    row->addWidget(hint, 0, Qt::AlignVCenter);
    row->addStretch(1);
    addSection("settings.sliceDuration")->addLayout(row);
    m_shown.insert(QString::fromLatin1(PrefKey::sliceDuration), {});
}

void SettingsView::buildPrompt()
{
    QVBoxLayout* section = addSection("settings.postPrompt");
    m_promptEditor = new QPlainTextEdit(m_column);
    m_promptEditor->setObjectName(QStringLiteral("promptEditor"));
    m_promptEditor->setFont(Style::monospaced(kPromptPixels));
    m_promptEditor->setMinimumHeight(kPromptMinimumHeight);
    m_promptEditor->setTabChangesFocus(true);
    QColor border = Style::secondary(m_promptEditor->palette());
    border.setAlphaF(kPromptBorderOpacity);
    m_promptEditor->setStyleSheet(QStringLiteral("QPlainTextEdit#promptEditor { border: 1px solid %1; }")
                                      .arg(border.name(QColor::HexArgb)));
    m_promptEditor->installEventFilter(this);
    section->addWidget(m_promptEditor);

    auto* reset = smallButton(QStringLiteral("promptReset"),
                              m_locale.text(QStringLiteral("settings.resetDefault")), m_column);
    connect(reset, &QPushButton::clicked, this, [this] {
        m_promptEditor->setPlainText(Preferences::defaultPolishingPrompt());
        m_preferences.setValue(QString::fromLatin1(PrefKey::postProcessPrompt),
                               m_promptEditor->toPlainText());
    });
    section->addWidget(reset, 0, Qt::AlignLeft);
}

void SettingsView::buildPermissions()
{
    QVBoxLayout* section = addSection("settings.permissions");
    std::tie(m_microphoneDot, m_microphoneGrant) =
        buildPermissionRow(section, QStringLiteral("microphone"), "settings.microphone");
    std::tie(m_accessibilityDot, m_accessibilityGrant) =
        buildPermissionRow(section, QStringLiteral("accessibility"), "settings.accessibility");
    m_accessibilityHint = new PlainLabel(0, m_column);
    m_accessibilityHint->setObjectName(QStringLiteral("accessibilityHint"));
    m_accessibilityHint->setFont(Style::font(Style::TextSize::secondCaption));
    Style::setTextColour(*m_accessibilityHint, Style::secondary(m_accessibilityHint->palette()));
    m_accessibilityHint->setFullText(m_locale.text(QStringLiteral("settings.accessibilityHint")));
    section->addWidget(m_accessibilityHint);

    PermissionManager& permissions = m_session.permissionManager();
    connect(m_microphoneGrant, &QPushButton::clicked, &permissions, &PermissionManager::openMicrophoneSettings);
    connect(m_accessibilityGrant, &QPushButton::clicked, &permissions,
            &PermissionManager::openAccessibilitySettings);
    connect(&permissions, &PermissionManager::microphoneGrantedChanged, this, &SettingsView::showPermissions);
    connect(&permissions, &PermissionManager::accessibilityGrantedChanged, this, &SettingsView::showPermissions);
    showPermissions();
}

std::pair<Dot*, QPushButton*> SettingsView::buildPermissionRow(QVBoxLayout* section, const QString& name,
                                                               const char* textKey)
{
    auto* row = new QHBoxLayout;
    auto* dot = new Dot(kPermissionDot, Style::red, m_column);
    dot->setObjectName(name + QStringLiteral("Dot"));
    row->addWidget(dot, 0, Qt::AlignVCenter);
    auto* text = new QLabel(m_locale.text(QString::fromLatin1(textKey)), m_column);
    text->setObjectName(name + QStringLiteral("Text"));
    text->setTextFormat(Qt::PlainText);
    row->addWidget(text, 0, Qt::AlignVCenter);
    row->addStretch(1);
    auto* grant = new QPushButton(m_locale.text(QStringLiteral("settings.grant")), m_column);
    grant->setObjectName(name + QStringLiteral("Grant"));
    grant->setFont(Style::font(Style::TextSize::caption));
    grant->setFocusPolicy(Qt::TabFocus);
    row->addWidget(grant, 0, Qt::AlignVCenter);
    section->addLayout(row);
    return {dot, grant};
}

void SettingsView::buildDebugMode()
{
    m_debugSwitch = toggle(QStringLiteral("debugModeSwitch"), m_locale.text(QStringLiteral("settings.debugMode")),
                           m_column);
    m_debugSwitch->setFont(Style::font(Style::TextSize::smallControl));
    m_debugSwitch->setChecked(m_preferences.debugMode());
    connect(m_debugSwitch, &QCheckBox::clicked, this, [this](bool checked) {
        m_preferences.setValue(QString::fromLatin1(PrefKey::debugMode), checked);
    });
    addSection("")->addWidget(m_debugSwitch, 0, Qt::AlignLeft);
    m_shown.insert(QString::fromLatin1(PrefKey::debugMode), {});
}

QVariant SettingsView::stored(const QString& key) const
{
    if (key == QLatin1String(PrefKey::asrModel))
        return m_preferences.asrModel();
    if (key == QLatin1String(PrefKey::postProcessModel))
        return m_preferences.postProcessModel();
    if (key == QLatin1String(PrefKey::shortcut))
        return m_preferences.shortcut();
    if (key == QLatin1String(PrefKey::sliceDuration))
        return m_preferences.sliceDuration();
    if (key == QLatin1String(PrefKey::showFloatingPanel))
        return m_preferences.showFloatingPanel();
    if (key == QLatin1String(PrefKey::debugMode))
        return m_preferences.debugMode();
    return m_preferences.text(key);   // the API keys, empty when absent
}

void SettingsView::onPreferenceChanged(const QString& key)
{
    const auto shown = m_shown.find(key);
    if (shown == m_shown.end())
        return;
    const QVariant value = stored(key);
    if (value == *shown)
        return;
    *shown = value;
    react(key, value);
}

void SettingsView::react(const QString& key, const QVariant& value)
{
    for (const KeyField& field : kKeyFields) {
        if (key != QLatin1String(field.key))
            continue;
        QLineEdit* edit = m_keyFields.value(key);
        if (edit->text() != value.toString())
            edit->setText(value.toString());
        m_logger.info(QString::fromLatin1(field.line));
        return;
    }
    if (SegmentedPicker* picker = m_pickers.value(key)) {
        picker->setSelected(value.toString());
        m_logger.info(QStringLiteral("Settings: ") + key + QStringLiteral(" changed to ") + value.toString());
    } else if (key == QLatin1String(PrefKey::shortcut)) {
        registerShortcut(value.toString());
    } else if (key == QLatin1String(PrefKey::showFloatingPanel)) {
        showFloatingPanel(value.toBool());
    } else if (key == QLatin1String(PrefKey::sliceDuration)) {
        m_sliceStepper->setValue(value.toInt());
        m_logger.info(QStringLiteral("Settings: sliceDuration changed to ") + QString::number(value.toInt())
                      + QLatin1Char('s'));
    } else if (key == QLatin1String(PrefKey::debugMode)) {
        m_debugSwitch->setChecked(value.toBool());
    }
}

void SettingsView::registerShortcut(const QString& shortcut)
{
    // The handler may outlive this screen, and press after the controller has gone.
    const QPointer<SessionManager> controller(&m_session);
    const std::optional<QString> warning = m_session.hotkeyManager().registerHotkey(shortcut, [controller] {
        if (controller)
            controller->toggleRecording();
    });
    m_hotkeyWarning->setFullText(warning.value_or(QString()));
    m_hotkeyWarning->setVisible(warning.has_value());
}

void SettingsView::showFloatingPanel(bool shown)
{
    m_floatingToggle->setChecked(shown);
    m_logger.info(QStringLiteral("Settings: floatingPanel ") + (shown ? QStringLiteral("shown")
                                                                      : QStringLiteral("hidden")));
    if (FloatingPanel* panel = m_session.floatingPanel()) {
        if (shown)
            panel->show();
        else
            panel->hide();
    }
}

void SettingsView::loadPromptDraft()
{
    const QString prompt = m_preferences.postProcessPrompt();
    if (m_promptEditor->toPlainText() != prompt)
        m_promptEditor->setPlainText(prompt);
}

void SettingsView::storePromptDraft()
{
    const QString draft = m_promptEditor->toPlainText();
    if (m_preferences.postProcessPrompt() != draft)
        m_preferences.setValue(QString::fromLatin1(PrefKey::postProcessPrompt), draft);
}

void SettingsView::onPromptFocusOut(Qt::FocusReason reason)
{
    // A popup (the editor's own menu) or another window takes the focus for a
    // while; the screen hiding has stored the draft already.
    if (reason == Qt::PopupFocusReason || reason == Qt::ActiveWindowFocusReason || !isVisible())
        return;
    const QString draft = m_promptEditor->toPlainText();
    m_preferences.setValue(QString::fromLatin1(PrefKey::postProcessPrompt), draft);
    m_logger.info(QStringLiteral("Settings: postProcessPrompt updated (length: ")
                  + QString::number(Graphemes::count(draft)) + QLatin1Char(')'));
}

void SettingsView::showPermissions()
{
    const PermissionManager& permissions = m_session.permissionManager();
    const bool microphone = permissions.microphoneGranted();
    const bool accessibility = permissions.accessibilityGranted();
    m_microphoneDot->setColour(microphone ? Style::green : Style::red);
    m_microphoneGrant->setVisible(!microphone);
    m_accessibilityDot->setColour(accessibility ? Style::green : Style::red);
    m_accessibilityGrant->setVisible(!accessibility);
    m_accessibilityHint->setVisible(!accessibility);
}

bool SettingsView::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_promptEditor && event->type() == QEvent::FocusOut)
        onPromptFocusOut(static_cast<QFocusEvent*>(event)->reason());
    else if ((watched == m_column || watched == viewport()) && event->type() == QEvent::MouseButtonPress) {
        if (QWidget* focused = window()->focusWidget())
            focused->clearFocus();
    }
    return QScrollArea::eventFilter(watched, event);
}

void SettingsView::showEvent(QShowEvent* event)
{
    QScrollArea::showEvent(event);
    if (!event->spontaneous())
        loadPromptDraft();
}

void SettingsView::hideEvent(QHideEvent* event)
{
    if (!event->spontaneous())
        storePromptDraft();
    QScrollArea::hideEvent(event);
}
