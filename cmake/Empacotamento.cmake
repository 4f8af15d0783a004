# Install rules and the Debian package.
