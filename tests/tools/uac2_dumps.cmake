# Every endpoint of every real UAC 2.0 device file the driver builds, played and recorded
# through the tool in each of its sample sizes: what is played arrives sample for sample
# (frame count and CRC-32 of the file), and what is recorded is the device's tone sample
# for sample from one sample on (wav_oracle sine).
#
# Rows: test name | device file | play or record | rate | channels | bits | the endpoint
# the tool must report.
set(UA_UAC2_DUMP_STREAMS
    "gadget_capture|uac2-linux-gadget-K|record|44100|2|16|capture endpoint Aux \\(interface 1, alternate 1, IN 0x81\\)"
    "dongle_render_24|uac2-uac3-dongle-J|play|48000|2|24|render endpoint HeadSet \\(interface 1, alternate 1, OUT 0x02\\)"
    "dongle_render_16|uac2-uac3-dongle-J|play|44100|2|16|render endpoint HeadSet \\(interface 1, alternate 2, OUT 0x02\\)"
    "dongle_capture_16|uac2-uac3-dongle-J|record|48000|1|16|capture endpoint HandSet \\(interface 2, alternate 1, IN 0x83\\)"
    "dongle_capture_24|uac2-uac3-dongle-J|record|44100|1|24|capture endpoint HandSet \\(interface 2, alternate 2, IN 0x83\\)")
foreach(row IN LISTS UA_UAC2_DUMP_STREAMS)
  string(REPLACE "|" ";" fields "${row}")
  list(GET fields 0 name)
  list(GET fields 1 dump)
  list(GET fields 2 verb)
  list(GET fields 3 rate)
  list(GET fields 4 channels)
  list(GET fields 5 bits)
  list(GET fields 6 endpoint)
  set(device ${UA_DUMPS}/${dump}.txt)
  math(EXPR frames "${rate} * 3 / 2")  # a second and a half
  if(verb STREQUAL "play")
    ua_tool_test(uac2_dump.${name}
      STEP "@ORACLE@|write|noise.wav|${rate}|${channels}|${bits}|${frames}|${rate}"
      STEP "@ORACLE@|crc|noise.wav" CAPTURE "CRC=crc32 (0x[0-9a-f]+)"
      STEP "@TOOL@|play|--no-progress|--device|${device}|noise.wav"
      MATCH "Device report: ${endpoint}, ${rate} Hz, ${channels} ch, ${bits}-bit\n.*the file's ${frames} frames arrived sample for sample \\(crc32 @CRC@\\).*gaps      none.*engine    no findings")
  else()
    ua_tool_test(uac2_dump.${name}
      STEP "@TOOL@|record|--no-progress|--device|${device}|--rate|${rate}|--channels|${channels}|--bits|${bits}|--seconds|1.5|in.wav"
      MATCH "Device report: ${endpoint}, ${rate} Hz, ${channels} ch, ${bits}-bit\n[^\n]*recorded ${frames} \\(1.500 s\\).*gaps      none.*engine    no findings"
      STEP "@ORACLE@|sine|in.wav" MATCH "^sine from sample [0-9]+: all ${frames} frames\n$")
  endif()
endforeach()
