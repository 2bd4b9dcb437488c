#pragma once

#include <memory>

#include <QObject>
#include <QUrl>

class AudioThread;

// The looping alarm sound: "sos.wav" from the current directory, or the built-in sound when that file is
// missing or is not a WAV file. The audio stack lives on a thread of its own, started at the first alarm:
// Play and Stop only post to it and never wait, so an audio server that hangs or fails can neither freeze
// the window nor hold up its closing.
class AlarmSound final : public QObject {
    Q_OBJECT
public:
    explicit AlarmSound(QObject* parent = nullptr);
    // Waits a moment for the audio thread to end; one stuck in the audio library is left behind.
    ~AlarmSound() override;
    AlarmSound(const AlarmSound&) = delete;
    AlarmSound& operator=(const AlarmSound&) = delete;

    // Starts the loop from its beginning, replacing a loop that plays.
    void Play();
    void Stop();

    // The alarm wants sound: true from Play to Stop, whatever the audio stack does.
    bool IsSounding() const { return m_sounding; }
    // The audio stack reported that the loop plays.
    bool PlaybackConfirmed() const;
    // The sound chosen by the last Play.
    QUrl Source() const { return m_source; }

    static const QUrl kBuiltInSound;

private:
    std::unique_ptr<AudioThread> m_audio;  // made on first use: most runs never sound
    QUrl m_source;
    bool m_sounding = false;
};

// True once the audio stack has been opened in this process. The process must then end without running the
// libraries' exit handlers (flush, then _exit): Qt Multimedia's sample cache waits at exit for its loader
// thread while holding the lock that thread may need, and an audio thread left stuck in the audio library
// would hold up its exit handlers too.
bool AudioStackOpened();
