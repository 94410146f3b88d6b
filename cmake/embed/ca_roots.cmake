# The public root certificates that verify every HTTPS server (the system store is not used).
quillimare_embed(ca_roots /etc/ssl/certs/ca-certificates.crt)
