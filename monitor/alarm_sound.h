#pragma once

#include <QObject>
#include <QUrl>

class QSoundEffect;

// The looping alarm sound: "sos.wav" from the current directory, or the built-in sound when that file is
// missing or is not a WAV file. Without an audio device it plays nothing and never blocks.
class AlarmSound final : public QObject {
    Q_OBJECT
public:
    explicit AlarmSound(QObject* parent = nullptr);
    ~AlarmSound() override;
    AlarmSound(const AlarmSound&) = delete;
    AlarmSound& operator=(const AlarmSound&) = delete;

    // Starts the loop from its beginning, replacing a loop that plays.
    void Play();
    void Stop();

    bool IsSounding() const { return m_sounding; }
    QUrl Source() const;

    static const QUrl kBuiltInSound;

private:
    QSoundEffect* m_effect = nullptr;  // made on first use: most runs never sound
    bool m_sounding = false;
};
