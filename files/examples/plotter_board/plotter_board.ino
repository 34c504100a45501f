// A sketch written for a serial plotter, as many are: it prints "name:value" pairs, one line per
// reading, and knows nothing of Pontivo. Pontivo reads it as it is with --frames lines:
//
//   pontivo --headless --com-port 1 --frames lines
//   curl localhost:8085/get/temp
//
// Every half second: the first analog input scaled to degrees (leave it open for noise, or
// connect a potentiometer), and a count of the readings so far. The banner at start is no
// reading: Pontivo counts it as a malformed line and goes on.

const unsigned long kReadEveryMs = 500;
unsigned long g_lastReadMs = 0;
unsigned long g_count = 0;

void setup()
{
    Serial.begin(9600);
    Serial.println("Plotter sketch ready");
}

void loop()
{
    const unsigned long now = millis();
    if (now - g_lastReadMs < kReadEveryMs)
        return;
    g_lastReadMs = now;
    const float temp = 15.0 + analogRead(A0) * 10.0 / 1023.0;
    Serial.print("temp:");
    Serial.print(temp);
    Serial.print(",count:");
    Serial.println(g_count++);
}
