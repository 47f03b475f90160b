module M
  class C
    def run; end
    def self.build; end
  end
end

class A::B::Foo
  def bar; end
end

module A::Foo
end

module M
  class ::Foo
  end
end

class Foo
  class << self
    def create; end
  end
end

class Foo
  alias to_s inspect
end

square = ->(x) { x * x }

Square = ->(x) { x }
@sq = ->(x) { x }
self.sq = ->(x) { x }
square = 42
square ||= ->(x) { x }

class
  def run; end
end

module M; class ::; def run; end; end; end

class A::B::Foo
end

class A::B::Foo
end

module Billing
  class Invoice
    def total
      items.sum(&:price)
    end
  end
end

