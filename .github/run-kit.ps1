# Runs an unpacked kit's suite unattended (no key is waited for), as the CI jobs do, and fails the step when a
# test program failed or the run left something behind (run-suite.cmd's exit code 1) or the kit refused to run
# (2), saying which.
param([Parameter(Mandatory = $true)] [string] $Kit)
Push-Location -LiteralPath $Kit
# From its own folder, so that no blank in the path meets cmd's quoting rules.
cmd.exe /d /c run-suite.cmd /unattended
$code = $LASTEXITCODE
Pop-Location
switch ($code) {
  0 { 'The kit passed.' }
  1 { "::error::A test program of the kit failed, or the run left something behind (exit code 1): see the kit's results." }
  2 { '::error::The kit refused to run (exit code 2): see its reasons above.' }
  default { "::error::run-suite.cmd ended with exit code $code." }
}
exit $code
