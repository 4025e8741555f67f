// Switches the built-in LED as the cues of examples/blink.txt arrive from
// orvplayer: a line "ON" lights it, any other line ("OFF") puts it out.
void setup() {
  pinMode(LED_BUILTIN, OUTPUT);
  Serial.begin(115200);
}

void loop() {
  if (Serial.available() > 0) {
    String line = Serial.readStringUntil('\n');
    line.trim();  // drops the '\r' of a file with "\r\n" line ends
    digitalWrite(LED_BUILTIN, line == "ON" ? HIGH : LOW);
  }
}
