#!/usr/bin/env bash
# Apps link the library beside their own code, so every external name it defines must sit in one
# of the library's namespaces (vy, rtc, zentho, sigslot, vortm) or be one of its C exports (the four of
# the API and the runtime's rtc_FatalMessage); other namespaces appear only through templates
# instantiated from the toolchain's and dependencies' headers.
#   internal_names_test.sh LIBRARY...
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: $0 LIBRARY..." >&2; exit 2; }
symbols=$(nm -g --defined-only "$@" | awk 'NF == 3 { print $3 }' | sort -u)
[ "$(wc -l <<<"$symbols")" -gt 100 ] || { echo "too few symbols in $*" >&2; exit 1; }
leaks=$(perl -ne '
  chomp;
  my %own = map { $_ => 1 } qw(vy rtc zentho sigslot vortm);
  my %deps = map { $_ => 1 } qw(__gnu_cxx __cxxabiv1 absl fmt spdlog rapidjson);
  if (!/^_Z/) {
    print "$_\n" unless /^(createRtmService|getRtmSdkVersion|VyRtm_OpenRtcLog|VyRtm_CloseRtcLog|rtc_FatalMessage)$/
        || /^(__|\.|DW\.ref\.)/;
    next;
  }
  # Strip the special-name prefixes (vtables, guards, thunks, local entities).
  my $rest = $_;
  $rest =~ s/^_Z(?:T[VTIS]|GV|T[WH]|Th[n]?\d+_|Tv[n]?\d+_[n]?\d+_)?Z?N?[rVKRO]*//;
  next if $rest =~ /^S[tabsiod]/;          # std:: and its abbreviations
  # The type information of a function type (the target of a std::function) naming our types.
  next if /^_ZT[IS]/ && $rest =~ /^P?F/ && $rest =~ /\d(vy|rtc|zentho|sigslot|vortm)/;
  next if $rest =~ /^(nw|na|dl|da)/;      # operator new and delete from <new>
  if ($rest =~ /^(\d+)/) {
    my $name = substr($rest, length($1), $1);
    next if $own{$name} || $deps{$name};
  }
  print "$_\n";
' <<<"$symbols")
if [ -n "$leaks" ]; then
  echo "names outside the library's namespaces:" >&2
  c++filt <<<"$leaks" | sort -u | head -50 >&2
  exit 1
fi
echo "ok: $(wc -l <<<"$symbols") external names checked"
