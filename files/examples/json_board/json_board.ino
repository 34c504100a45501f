// A sketch that prints one JSON object per line, as many logging sketches do, and knows nothing of
// Pontivo. Pontivo reads it as it is with --frames json:
//
//   pontivo --headless --com-port 1 --frames json
//   curl localhost:8085/get/temp         (and /get/board.uptime, /get/board.ok)
//
// Every half second: the first analog input scaled to degrees (leave it open for noise, or connect
// a potentiometer), and the board's seconds since start in a nested object.

const unsigned long kReadEveryMs = 500;
unsigned long g_lastReadMs = 0;

void setup()
{
    Serial.begin(9600);
    Serial.println("JSON sketch ready");
}

void loop()
{
    const unsigned long now = millis();
    if (now - g_lastReadMs < kReadEveryMs)
        return;
    g_lastReadMs = now;
    const float temp = 15.0 + analogRead(A0) * 10.0 / 1023.0;
    Serial.print("{\"temp\":");
    Serial.print(temp);
    Serial.print(",\"board\":{\"uptime\":");
    Serial.print(now / 1000);
    Serial.println(",\"ok\":true}}");
}
