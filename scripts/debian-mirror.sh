#!/usr/bin/env bash
# Finds the Debian archive this machine's apt already uses, so that scripts adding a suite
# (sid for headers, trixie for sources) reach the same mirror with the same key.
#
#   source scripts/debian-mirror.sh; debian_mirror      sets mirror_uri and mirror_signed_by
#   scripts/debian-mirror.sh                            prints "URI<TAB>KEYRING"
#
# Reads /etc/apt/sources.list, /etc/apt/sources.list.d/*.list (one-line format) and
# /etc/apt/sources.list.d/*.sources (deb822), skipping the entries this project adds
# itself (vornak-*). An entry counts when it lists the release this machine runs
# (VERSION_CODENAME of /etc/os-release, or its -updates suite) and is not a security archive;
# without a codename, an entry whose URI path ends in /debian counts. The first one found
# wins, one-line files before deb822 files. debian_mirror returns 1 with a message on
# stderr when there is none. APT_ETC overrides /etc/apt (for tests).

# Prints one "URI|SIGNED-BY|SUITE ..." line per archive entry of the apt configuration (a
# separator that is not blank, so that an empty field stays a field when read back).
debian_mirror_entries() {
  local etc=${APT_ETC:-/etc/apt}
  local -a one_line=() deb822=()
  [ -f "$etc/sources.list" ] && one_line+=("$etc/sources.list")
  local file
  for file in "$etc"/sources.list.d/*.list; do
    [ -f "$file" ] && [[ $(basename "$file") != vornak-* ]] && one_line+=("$file")
  done
  for file in "$etc"/sources.list.d/*.sources; do
    [ -f "$file" ] && [[ $(basename "$file") != vornak-* ]] && deb822+=("$file")
  done

  # One-line format: deb [option=value ...] URI SUITE [COMPONENT ...]
  local line
  for file in "${one_line[@]}"; do
    while IFS= read -r line || [ -n "$line" ]; do
      line=${line%%#*}
      local -a words
      read -r -a words <<<"$line"
      [ "${#words[@]}" -ge 3 ] || continue
      [ "${words[0]}" = deb ] || [ "${words[0]}" = deb-src ] || continue
      local signed="" at=1
      if [[ ${words[1]} == \[* ]]; then
        # Options run from "[" to the word ending in "]".
        while [ "$at" -lt "${#words[@]}" ]; do
          local option=${words[$at]#[}
          option=${option%]}
          [[ $option == signed-by=* ]] && signed=${option#signed-by=}
          [[ ${words[$at]} == *\] ]] && { at=$((at + 1)); break; }
          at=$((at + 1))
        done
      fi
      [ $((at + 1)) -lt "${#words[@]}" ] || continue
      printf '%s|%s|%s\n' "${words[$at]}" "$signed" "${words[$((at + 1))]}"
    done <"$file"
  done

  # deb822: stanzas separated by blank lines; continuation lines (a leading space) belong to
  # the field above, which for Signed-By may be a whole key block: only a path is kept.
  for file in "${deb822[@]}"; do
    awk '
      function flush() {
        if (uris != "" && enabled != "no" && types ~ /(^| )deb(-src)?( |$)/) {
          n = split(uris, list, " ")
          for (i = 1; i <= n; i++) printf "%s|%s|%s\n", list[i], (signed ~ /^\// ? signed : ""), suites
        }
        uris = ""; signed = ""; suites = ""; types = ""; enabled = ""; field = ""
      }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { flush(); next }
      /^[ \t]/ { if (field == "uris") uris = uris " " $0; if (field == "suites") suites = suites " " $0; next }
      {
        field = tolower(substr($0, 1, index($0, ":") - 1))
        value = substr($0, index($0, ":") + 1)
        gsub(/^[ \t]+|[ \t]+$/, "", value)
        if (field == "uris") uris = value
        else if (field == "suites") suites = value
        else if (field == "types") types = value
        else if (field == "signed-by") signed = value
        else if (field == "enabled") enabled = tolower(value)
      }
      END { flush() }
    ' "$file"
  done
}

# Sets mirror_uri and mirror_signed_by (the archive keyring when the entry names none).
debian_mirror() {
  local codename=""
  [ -r /etc/os-release ] && codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  local uri signed suites suite
  mirror_uri=""
  mirror_signed_by=""
  while IFS='|' read -r uri signed suites; do
    [[ $uri == */debian-security* ]] && continue
    local matches=0
    for suite in $suites; do
      [[ $suite == *-security ]] && continue
      if [ -n "$codename" ]; then
        [ "$suite" = "$codename" ] || [ "$suite" = "$codename-updates" ] && matches=1
      elif [[ ${uri%/} == */debian ]]; then
        matches=1
      fi
    done
    [ "$matches" -eq 1 ] || continue
    mirror_uri=${uri%/}
    mirror_signed_by=${signed:-/usr/share/keyrings/debian-archive-keyring.gpg}
    return 0
  done < <(debian_mirror_entries)
  echo "no Debian archive entry${codename:+ for $codename} in ${APT_ETC:-/etc/apt}/sources.list or" \
    "${APT_ETC:-/etc/apt}/sources.list.d/*.list, *.sources: add this machine's Debian mirror to apt first" >&2
  return 1
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  debian_mirror
  printf '%s\t%s\n' "$mirror_uri" "$mirror_signed_by"
fi
