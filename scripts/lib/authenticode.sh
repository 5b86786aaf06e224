# Authenticode signing of a Windows program with Debian's osslsigncode. Sourced by the release
# script and by its test (tests/win32/authenticode_test.py); it defines one function:
#
#   velmora_authenticode_sign IN OUT (--cert CERT.pem --key KEY.pem | --pkcs12 FILE.p12)
#                             [--password-file FILE] [--timestamp URL] [--time UNIX_SECONDS]
#                             [--name TEXT] [--url URL]
#
# Signs IN into OUT with a SHA-256 Authenticode signature. The certificate (CERT.pem may hold
# the chain after it) and its key come as PEM files, or both in one PKCS#12 file. A password
# (of an encrypted key, or of the PKCS#12 file) is read from --password-file, never from the
# command line, where every user of the machine could read it. A time stamp (RFC 3161) is asked
# of URL only when --timestamp is given: without it nothing goes over the network. --time fixes
# the signing time, so that the same file, key and time give the same signed bytes. IN is left
# alone; OUT appears only when signing succeeded (it is written beside OUT, then renamed).
# Returns 0, or 2 for wrong arguments, or osslsigncode's status.

velmora_authenticode_sign() {
  if [ $# -lt 2 ]; then
    echo "velmora_authenticode_sign: IN and OUT are needed" >&2
    return 2
  fi
  local in="$1" out="$2"
  shift 2
  local cert="" key="" pkcs12="" password_file="" timestamp="" time="" name="Velmora Installer"
  local url=""
  while [ $# -gt 0 ]; do
    if [ $# -lt 2 ]; then
      echo "velmora_authenticode_sign: $1 needs a value" >&2
      return 2
    fi
    case "$1" in
      --cert) cert="$2" ;;
      --key) key="$2" ;;
      --pkcs12) pkcs12="$2" ;;
      --password-file) password_file="$2" ;;
      --timestamp) timestamp="$2" ;;
      --time) time="$2" ;;
      --name) name="$2" ;;
      --url) url="$2" ;;
      *)
        echo "velmora_authenticode_sign: unknown option $1" >&2
        return 2
        ;;
    esac
    shift 2
  done
  local arguments=(sign -h sha256 -n "$name")
  if [ -n "$pkcs12" ] && [ -z "$cert$key" ]; then
    arguments+=(-pkcs12 "$pkcs12")
  elif [ -z "$pkcs12" ] && [ -n "$cert" ] && [ -n "$key" ]; then
    arguments+=(-certs "$cert" -key "$key")
  else
    echo "velmora_authenticode_sign: give --cert and --key, or --pkcs12" >&2
    return 2
  fi
  if [ -n "$password_file" ]; then arguments+=(-readpass "$password_file"); fi
  if [ -n "$url" ]; then arguments+=(-i "$url"); fi
  if [ -n "$timestamp" ]; then arguments+=(-ts "$timestamp"); fi
  if [ -n "$time" ]; then arguments+=(-time "$time"); fi
  local partial="$out.signing.$$"
  rm -f "$partial"
  local status=0
  osslsigncode "${arguments[@]}" -in "$in" -out "$partial" >/dev/null || status=$?
  if [ $status -eq 0 ]; then
    mv -f "$partial" "$out" || status=$?
  fi
  rm -f "$partial"
  return $status
}
