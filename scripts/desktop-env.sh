# Sourced by scripts/desktop.sh and scripts/screenshots.sh: serves the example
# site on a free 127.0.0.1 port and prepares a program directory for the
# desktop application: an embedded task store holding the example task (aimed
# at the site, started on load) as an example, a user "demo" with password
# "demo", and a Config.dat that remembers that login and chooses the example.
# Sets DEMO_HOME and DEMO_PORT; call demo_cleanup when done.

DEMO_WORK=$(mktemp -d)
DEMO_SERVER_PID=""

demo_cleanup() {
    if [ -n "$DEMO_SERVER_PID" ]; then
        kill "$DEMO_SERVER_PID" 2>/dev/null || true
        wait "$DEMO_SERVER_PID" 2>/dev/null || true
    fi
    rm -rf "$DEMO_WORK"
}

demo_prepare() {  # BUILD_DIR HOME_DIR
    local build=$1
    DEMO_HOME=$2
    python3 examples/serve.py examples/site > "$DEMO_WORK/port" &
    DEMO_SERVER_PID=$!
    for _ in $(seq 100); do
        [ -s "$DEMO_WORK/port" ] && break
        sleep 0.1
    done
    DEMO_PORT=$(head -n 1 "$DEMO_WORK/port")
    if [ -z "$DEMO_PORT" ]; then
        echo "the example site did not start" >&2
        return 1
    fi
    mkdir -p "$DEMO_HOME" "$DEMO_WORK/examples"
    # The site's port changes every run: start the store afresh.
    rm -f "$DEMO_HOME"/quarvex-store.db*
    sed -e "s/@PORT@/$DEMO_PORT/g" -e 's|<autoload>0</autoload>|<autoload>1</autoload>|' \
        examples/demo-task.dat > "$DEMO_WORK/examples/demo-task.dat"
    echo demo | "$build/server/quarvex-store" --db "$DEMO_HOME/quarvex-store.db" adduser demo
    local id
    id=$("$build/server/quarvex-store" --db "$DEMO_HOME/quarvex-store.db" import-examples "$DEMO_WORK/examples" | cut -f1)
    printf '<general>\r\n\t<saveusername>1</saveusername>\r\n\t<savepassword>1</savepassword>\r\n</general>\r\n<example>\r\n\t<taskid>%s</taskid>\r\n</example>\r\n<account>\r\n\t<username>demo</username>\r\n\t<password>demo</password>\r\n</account>\r\n' \
        "$id" > "$DEMO_HOME/Config.dat"
}
