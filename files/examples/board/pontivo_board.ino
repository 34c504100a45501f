// Pontivo example board sketch, for common microcontroller boards.
//
// What it does: reads the "name=value" lines Pontivo writes to the board (one per /set, /push,
// /setlike or /pushlike), switches the built-in LED on "led=on" and "led=off", and prints
// "{name=value}" frames that Pontivo puts in its store: the LED state after each change,
// and every second a sensor reading and the seconds since the board started.
//
// Wiring: only the board's USB cable to the computer that runs Pontivo. The sensor value is
// whatever the first analog input reads: leave it open (noise) or connect a potentiometer
// between the supply and ground with its wiper on that input.
//
// Line settings: 9600 baud, no parity, 8 data bits, 1 stop bit, written "9600,n,8,1", which
// is Pontivo's default (--com-settings). If you change the speed below, change it there too.
//
// Which port: the board appears as a serial port when plugged in.
//   Windows: COMn, where n is shown by the device manager or the board's IDE; give Pontivo
//            that number (--com-port n, or the number in the serial settings).
//   Linux:   COM number n is the first of /dev/ttyACM{n-1}, /dev/ttyUSB{n-1}, /dev/ttyS{n-1}
//            that exists, so the first USB board is --com-port 1. A path works too:
//            --com-port /dev/ttyACM0. Your user needs to be in the group that owns the device
//            (usually "dialout").
// Only one program can have the port open: close the IDE's serial monitor before starting
// Pontivo, and stop Pontivo before uploading a new sketch.
//
// Try it:  pontivo --headless --com-port 1 --board-hello hello
//          curl localhost:8085/set/led/on      (the LED lights, then /get/led answers "on")
//          curl localhost:8085/get/sensor

#include <string.h>

const unsigned long kReportEveryMs = 1000;
const int kSensorPin = A0;
const unsigned int kMaxLineLength = 64; // longer lines are not for this sketch and are skipped

char g_line[kMaxLineLength + 1];
unsigned int g_lineLength = 0;
bool g_lineTooLong = false;
unsigned long g_lastReportMs = 0;

// One frame: {name=value}. The line end after it is outside the frame, so Pontivo ignores
// it, and the serial monitor shows one frame per line.
void sendFrame(const char* name, const char* value)
{
    Serial.print('{');
    Serial.print(name);
    Serial.print('=');
    Serial.print(value);
    Serial.println('}');
}

void sendFrame(const char* name, long value)
{
    Serial.print('{');
    Serial.print(name);
    Serial.print('=');
    Serial.print(value);
    Serial.println('}');
}

void setLed(bool on)
{
    digitalWrite(LED_BUILTIN, on ? HIGH : LOW);
    sendFrame("led", on ? "on" : "off");
}

// Names and values arrive exactly as they stand in the URL, so "led=ON" is not "led=on".
void applyLine(char* line)
{
    char* equals = strchr(line, '=');
    if (equals == NULL)
        return;
    *equals = '\0';
    const char* name = line;
    const char* value = equals + 1;
    if (strcmp(name, "led") == 0) {
        if (strcmp(value, "on") == 0)
            setLed(true);
        else if (strcmp(value, "off") == 0)
            setLed(false);
    }
}

// Collects bytes until a line is complete; never waits for more, so loop() keeps running.
void readLines()
{
    while (Serial.available() > 0) {
        const char c = (char)Serial.read();
        if (c == '\n') {
            g_line[g_lineLength] = '\0';
            if (!g_lineTooLong)
                applyLine(g_line);
            g_lineLength = 0;
            g_lineTooLong = false;
        } else if (c == '\r') {
            // lines typed in a serial monitor may end with CR LF
        } else if (g_lineLength < kMaxLineLength) {
            g_line[g_lineLength++] = c;
        } else {
            g_lineTooLong = true;
        }
    }
}

void setup()
{
    pinMode(LED_BUILTIN, OUTPUT);
    Serial.begin(9600);
    // "I have just started": with --board-hello hello, Pontivo answers with the variables pages set
    // (led=on ...) that this board has lost by restarting. Said before anything else, so the
    // lines that come back are applied after the boot state below.
    sendFrame("hello", 1L);
    setLed(false); // a known state for Pontivo's store from the start
}

void loop()
{
    readLines();
    const unsigned long now = millis();
    if (now - g_lastReportMs >= kReportEveryMs) { // unsigned subtraction survives the millis() wrap
        g_lastReportMs = now;
        sendFrame("sensor", (long)analogRead(kSensorPin));
        sendFrame("uptime", (long)(now / 1000));
    }
}
