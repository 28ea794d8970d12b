// Stands in for the SDK's <ws2bth.h> in the host set-up check: a host must
// not need it, so the public headers must never include it.
#error "a public header included <ws2bth.h>"
