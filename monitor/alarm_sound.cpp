#include "monitor/alarm_sound.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include <QFileInfo>

#include "fileio/regular_file.h"
#include "monitor/audio_thread.h"

const QUrl AlarmSound::kBuiltInSound{QStringLiteral("qrc:/tessiv/alarm.wav")};

namespace {

std::atomic<bool> g_audioOpened{false};

// How long closing waits for the audio thread before leaving it to the end of the process.
constexpr std::chrono::milliseconds kAudioEndBound{50};

// Only a regular file is opened, and without blocking: a FIFO or a device named sos.wav must not stall
// the window's thread.
bool IsWaveFile(const QString& path) {
    const RegularFile file = OpenRegularFile(QFile::encodeName(path).toStdString(), O_RDONLY);
    char head[12] = {};
    return file && ::read(file.fd.get(), head, sizeof head) == 12 && std::string_view(head, 4) == "RIFF" &&
           std::string_view(head + 8, 4) == "WAVE";
}

QUrl ChooseSource() {
    const QString path = QFileInfo(QStringLiteral("sos.wav")).absoluteFilePath();
    return IsWaveFile(path) ? QUrl::fromLocalFile(path) : AlarmSound::kBuiltInSound;
}

}  // namespace

AlarmSound::AlarmSound(QObject* parent) : QObject(parent) {}

AlarmSound::~AlarmSound() {
    if (m_audio && !m_audio->Finish(kAudioEndBound)) {
        // Stuck in the audio library, where nothing can wake it: the thread and what it uses stay alive
        // until the process ends.
        static_cast<void>(m_audio.release());
    }
}

void AlarmSound::Play() {
    // Looked up at every alarm, so a sos.wav put in place while running is used from the next alarm on.
    m_source = ChooseSource();
    if (!m_audio) {
        m_audio = std::make_unique<AudioThread>();
        g_audioOpened.store(true);
    }
    m_audio->PlayLooping(m_source);
    m_sounding = true;
}

void AlarmSound::Stop() {
    if (m_audio) m_audio->Stop();
    m_sounding = false;
}

bool AudioStackOpened() {
    return g_audioOpened.load();
}

bool AlarmSound::PlaybackConfirmed() const {
    return m_audio && m_audio->PlaybackConfirmed();
}
