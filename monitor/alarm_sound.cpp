#include "monitor/alarm_sound.h"

#include <QFile>
#include <QFileInfo>
#include <QSoundEffect>

const QUrl AlarmSound::kBuiltInSound{QStringLiteral("qrc:/tessiv/alarm.wav")};

namespace {

bool IsWaveFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    QByteArray head = file.read(12);
    return head.size() == 12 && head.startsWith("RIFF") && head.mid(8, 4) == "WAVE";
}

QUrl ChooseSource() {
    const QString path = QFileInfo(QStringLiteral("sos.wav")).absoluteFilePath();
    return IsWaveFile(path) ? QUrl::fromLocalFile(path) : AlarmSound::kBuiltInSound;
}

}  // namespace

AlarmSound::AlarmSound(QObject* parent) : QObject(parent) {}

AlarmSound::~AlarmSound() = default;

void AlarmSound::Play() {
    if (m_effect == nullptr) {
        m_effect = new QSoundEffect(this);
        m_effect->setLoopCount(QSoundEffect::Infinite);
    }
    // Looked up at every alarm, so a sos.wav put in place while running is used from the next alarm on.
    QUrl source = ChooseSource();
    m_effect->stop();
    if (m_effect->source() != source) m_effect->setSource(source);
    m_effect->play();
    m_sounding = true;
}

void AlarmSound::Stop() {
    if (m_effect != nullptr) m_effect->stop();
    m_sounding = false;
}

QUrl AlarmSound::Source() const {
    return m_effect != nullptr ? m_effect->source() : QUrl();
}
