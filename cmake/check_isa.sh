#!/usr/bin/env bash
# Checks the object files of a primitives library build by build:
#  - no instruction of a newer set than the build's own (generic = SSE2, then SSE3,
#    SSSE3, SSE4.1; nothing of SSE4.2, AVX or later anywhere);
#  - a processor build defines no weak or shared symbol outside its own namespace, so
#    no inline helper or template compiled with newer flags can be picked by the
#    linker for an older build.
set -u
sse3='^(addsubp[sd]|hadd[ps][sd]|hsubp[sd]|lddqu|movddup|movshdup|movsldup|fisttp[lsq]?|monitor|mwait)$'
ssse3='^(pabs[bwd]|palignr|phadd(w|d|sw)|phsub(w|d|sw)|pmaddubsw|pmulhrsw|pshufb|psign[bwd])$'
sse41='^(blendp[sd]|blendvp[sd]|dpp[sd]|extractps|insertps|movntdqa|mpsadbw|packusdw|pblendvb|pblendw|pcmpeqq|pextr[bdq]|pinsr[bdq]|pmax(sb|sd|ud|uw)|pmin(sb|sd|ud|uw)|pmovsx[a-z]+|pmovzx[a-z]+|pmuldq|pmulld|ptest|round[ps][sd]|phminposuw)$'
newer='^(pcmp[ei]str[im]|pcmpgtq|crc32[bwlq]?|popcnt|lzcnt|tzcnt|andn|bextr|blsi|blsmsk|blsr|bzhi|pdep|pext|rorx|sarx|shlx|shrx|movbe|v[a-z0-9]+)$'
fail=0
for obj in "$@"; do
  case "$obj" in
    *.sse41.cpp.o|*.sse41.c.o) build=sse41; banned="$newer" ;;
    *.ssse3.cpp.o|*.ssse3.c.o) build=ssse3; banned="$sse41|$newer" ;;
    *.sse3.cpp.o|*.sse3.c.o)   build=sse3;  banned="$ssse3|$sse41|$newer" ;;
    *)                         build=generic; banned="$sse3|$ssse3|$sse41|$newer" ;;
  esac
  hits=$(objdump -d --no-show-raw-insn "$obj" | awk -F'\t' 'NF>=2 {split($2,a," "); print a[1]}' \
         | grep -E "$banned" | sort | uniq -c)
  if [ -n "$hits" ]; then
    echo "FAIL: $obj ($build build) uses instructions of a newer set:"; echo "$hits"; fail=1
  fi
  if [ "$build" != generic ]; then
    leaks=$(nm -C --defined-only "$obj" | awk '$2 ~ /^[WVu]$/ {$1=""; $2=""; sub(/^  /,""); print}' \
            | grep -v -E "^(sp::$build::|typeinfo|vtable|guard variable)" | grep -v -E '^(__x86\.|\.)' )
    if [ -n "$leaks" ]; then
      echo "FAIL: $obj ($build build) defines shared symbols outside sp::$build:"; echo "$leaks"; fail=1
    fi
  fi
done
if [ $fail -ne 0 ]; then exit 1; fi
echo "isa check: $# object files clean"
